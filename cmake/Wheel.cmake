# How the extension module is linked for a wheel that runs on machines other
# than the one that built it.
#
# libstdc++ is linked statically. A wheel's manylinux tag promises that it
# runs wherever glibc is new enough, but a dynamically linked module also needs
# the libstdc++ symbol versions (GLIBCXX_3.4.x) of the compiler that built it,
# and auditwheel does not bundle libstdc++: it raises the tag to a policy whose
# libstdc++ is new enough, or, where the target's libstdc++ is older than the
# build machine's compiler, the module fails to import ("version
# `GLIBCXX_3.4.xx' not found"). Statically linked, the wheel's reach depends on
# glibc and the bundled libraries alone, whichever GCC built it. The runtime's
# symbols stay local (the version script exports only PyInit__quorvex_core),
# so they cannot clash with another extension's libstdc++ in the same process,
# and no C++ object or exception crosses the module's boundary. The cost: some
# 120 KB in the module, and libstdc++ fixes arrive with a rebuild, not with the
# system's package.
#
# With it goes --gc-sections: a static library is linked by whole archive
# members, and libstdc++'s members pull in code we never call. One of them
# (std::random_device, reached from the copy-on-write string instantiations)
# needs arc4random from glibc 2.36, which would raise the wheel's manylinux
# policy above what its other parts need; dropping unreferenced sections drops
# that reference too (and three quarters of the module's size).
#
# The static runtime also lets the module keep the runtime's per-thread
# exception record in static TLS (src/binding/exception_globals.cpp), so a
# thread's first throw never allocates: out of memory stays a MemoryError
# instead of the loader ending the process.
#
# libgcc_s stays shared: it holds the unwinder, which must be one per process,
# since glibc's pthread_exit and pthread_cancel unwind through our frames with
# it. It exports only old symbol versions and is allowed by every manylinux
# policy.
#
# Off by default (developer builds and sanitizer builds use the system's
# shared runtime, which the sanitizers intercept); pyproject.toml turns it on.
option(QUORVEX_STATIC_LIBSTDCXX "Link the C++ runtime statically into the module" OFF)

if(TARGET _quorvex_core AND QUORVEX_STATIC_LIBSTDCXX)
  if(QUORVEX_SANITIZE)
    message(FATAL_ERROR "QUORVEX_STATIC_LIBSTDCXX and QUORVEX_SANITIZE do not go together")
  endif()
  # Both extension modules of the wheel: each carries its own copy of the
  # runtime, local to it.
  foreach(module IN ITEMS _quorvex_core _engine)
    if(TARGET ${module})
      target_sources(${module} PRIVATE src/binding/exception_globals.cpp)
      target_link_options(${module} PRIVATE -static-libstdc++ -Wl,--gc-sections)
    endif()
  endforeach()
endif()
