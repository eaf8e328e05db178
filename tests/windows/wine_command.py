"""The command line that starts a Windows program under Wine in the Windows tests.

Debian's wine64 comes without Wine's preloader, which reserves the addresses Wine needs
at fixed places before the system's loader runs; with a randomised heap a process now
and then fails to start ("failed to map the shared user data", c0000018). Without
address space randomisation (setarch -R, inherited by every process Wine starts) the
heap never reaches those addresses.
"""
WINE = ["setarch", "-R", "wine"]
