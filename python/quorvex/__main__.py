from _quorvex_cli import main

main()
