"""The test process's signal dispositions, as a terminal's would be.

A suite started in the background of a shell without job control inherits SIGINT ignored (and
under nohup SIGHUP too); the interpreter then installs no KeyboardInterrupt handler, and the
child processes the tests signal inherit the ignoring. The tests of Ctrl-C, SIGTERM and SIGHUP
need the actions a user's terminal gives.
"""
import signal

if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
if hasattr(signal, "SIGHUP") and signal.getsignal(signal.SIGHUP) == signal.SIG_IGN:
    signal.signal(signal.SIGHUP, signal.SIG_DFL)
