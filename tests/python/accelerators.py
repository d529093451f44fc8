"""Whether the engine's operations run with the Python model's accelerators (on unless the build
left them out or TORVEX_ACCELERATORS=0 turned them off at import). A few tests check what an
accelerator does beyond the behaviour (what it reads only once, what it leaves uncalled); on the
plain path every read and call is made, and those checks do not apply."""


def accelerated() -> bool:
    from torvex.dto import torvex

    return bool(torvex._accelerated)
