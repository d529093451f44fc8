"""A test whose body changes the package's shared classes (a host initialiser on Kerd, a property
on Snib, a host base class's methods) runs that body in a forked copy of the worker, so the
worker's classes stay as they were. Each change to a class uses up one of the version tags the
interpreter gives it (3.13 gives a class at most about a thousand per process); past them, every
attribute lookup on the class and its instances goes uncached, and whatever is keyed on the tag
stays off, for every later test in that worker."""

import functools
import os
import pickle
import traceback
import warnings


def in_own_process(test):
    """The test, its body run in a forked child; what the child raised is raised here."""

    @functools.wraps(test)
    def run(*args, **kwargs):
        read, write = os.pipe()
        with warnings.catch_warnings():
            # The worker's I/O thread is not needed by the child, which only runs the body.
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid == 0:
            os.close(read)
            try:
                test(*args, **kwargs)
                failure = None
            except BaseException:  # noqa: BLE001 - every outcome goes back to the parent
                failure = traceback.format_exc()
            with os.fdopen(write, "wb") as out:
                pickle.dump(failure, out)
            os._exit(0)
        os.close(write)
        with os.fdopen(read, "rb") as answer:
            data = answer.read()
        _, status = os.waitpid(pid, 0)
        assert status == 0 and data, f"the forked test ended without an answer (status {status})"
        failure = pickle.loads(data)
        if failure is not None:
            raise AssertionError(f"in the forked test:\n{failure}")

    return run
