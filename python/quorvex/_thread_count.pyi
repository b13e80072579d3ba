"""The worker pool's thread-count rule, shared with the native walk."""

MAX_THREAD_COUNT: int

def pool_thread_count() -> int:
    """The thread count the BLAKE3 walk's worker pool would take if it were created now."""

def parse_decimal_u64(text: str, /) -> int | None:
    """A strict decimal number of 0 to 2**64 - 1, or None."""
