"""The working folder of an acceptance test that runs the built programs."""
import os


class Workspace:
    """A test's working folder: files written there by name, and a count of failed checks."""

    def __init__(self, work):
        self.work = work
        self.failures = 0

    def path(self, name):
        return os.path.join(self.work, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as out:
            out.write(data)
        return self.path(name)
