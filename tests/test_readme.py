"""Every interactive example of README.md and writer/README.md, replayed in
the basic REPL on a pseudo-terminal and compared with the text line by
line.

The examples of one section (a heading down to level 3) run in one
session, in order, as a reader would type them. Whatever is not output
is typed: the statements after `>>> ` and `... `, and the lines that
`input` reads, which appear after their prompt (`> 3`) or alone. What to
type is found by waiting until the interpreter blocks reading the
terminal, then typing the rest of the example's next line. A line `...`
that is no continuation prompt stands for any number of output lines.
Trailing spaces are not compared: the prompt `... ` of an empty line
shows as `...`."""

import errno
import fcntl
import os
import pty
import re
import select
import signal
import subprocess
import sys
import termios
import time

import pytest

from conftest import REPO

DOCUMENTS = [REPO / "README.md", REPO / "writer" / "README.md"]
BLOCK = re.compile(r"^```pycon\n(.*?)^```$", re.M | re.S)
FENCED = re.compile(r"^```.*?^```$", re.M | re.S)
HEADING = re.compile(r"^#{1,3} (.+)$", re.M)
# A guard against a session that hangs; no test measures speed.
DEADLINE = 60


def sessions():
    """pytest params: the example text of each section that has some."""
    found = []
    for document in DOCUMENTS:
        text = document.read_text()
        sections = {}
        for match in BLOCK.finditer(text):
            headings = HEADING.findall(FENCED.sub("", text[:match.start()]))
            key = headings[-1] if headings else ""
            sections.setdefault(key, []).append(match[1])
        name = document.relative_to(REPO)
        found += [pytest.param("".join(blocks), id=f"{name}: {key}")
                  for key, blocks in sections.items()]
    return found


def blocked_reading_terminal(pid):
    """Whether process `pid` waits in read(2) on its standard input."""
    with open(f"/proc/{pid}/syscall") as stream:
        fields = stream.read().split()
    return fields[:2] == ["0", "0x0"]


def unread_input(fd):
    return int.from_bytes(fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4),
                          sys.byteorder)


# An example line `...` that is no continuation prompt: any run of lines.
ANY_LINES = object()


def example_lines(example):
    """The lines of an example without trailing spaces, with ANY_LINES for
    the `...` that follow output."""
    lines = []
    for line in example.splitlines():
        line = line.rstrip()
        typing = lines and isinstance(lines[-1], str) and \
            lines[-1].startswith((">>> ", "... "))
        lines.append(ANY_LINES if line == "..." and not typing else line)
    return lines


def lines_match(shown, expected):
    """How many lines of `expected` the complete lines `shown` account for,
    or None when they differ."""
    def walk(i, j):
        if i == len(shown):
            return j
        if j == len(expected):
            return None
        if shown[i] == expected[j]:
            found = walk(i + 1, j + 1)
            if found is not None:
                return found
        if expected[j] is ANY_LINES:
            for k in range(i, len(shown) + 1):
                found = walk(k, j + 1)
                if found is not None:
                    return found
        return None
    return walk(0, 0)


class Session:
    """The basic REPL of the test's interpreter on a pseudo-terminal, with
    readline kept out (its own echo and escape sequences are not what the
    README shows) and a plain pager for help()."""

    def __init__(self, cwd):
        # The interpreter imports readline for a terminal when it can.
        hide = cwd / "hide"
        hide.mkdir()
        (hide / "readline.py").write_text("raise ImportError\n")
        env = {key: value for key, value in os.environ.items()
               if key not in ("PAGER", "MANPAGER", "PYTHONINSPECT",
                              "PYTHONSTARTUP")}
        env.update(PYTHON_BASIC_REPL="1", PYTHONPATH=str(hide), TERM="dumb",
                   PYTHON_COLORS="0", NO_COLOR="1")
        self.master, self.slave = pty.openpty()
        self.process = subprocess.Popen(
            [sys.executable, "-q"], stdin=self.slave, stdout=self.slave,
            stderr=self.slave, cwd=cwd, env=env, start_new_session=True)
        self.output = b""
        self.echoed = 0
        self.deadline = time.monotonic() + DEADLINE

    def drain(self, wait=0.0):
        while select.select([self.master], [], [], wait)[0]:
            try:
                chunk = os.read(self.master, 65536)
            except OSError as error:  # the terminal closed
                if error.errno != errno.EIO:
                    raise
                return
            if not chunk:
                return
            self.output += chunk
            wait = 0.0

    def wait_for_input(self):
        """Waits until everything typed is read and the interpreter blocks
        for more; returns the text shown so far, line ends as in the
        README. The terminal takes what is typed in asynchronously: its
        echo tells that it has."""
        while (len(self.output) < self.echoed or unread_input(self.slave)
               or not blocked_reading_terminal(self.process.pid)):
            assert self.process.poll() is None, self.text()
            assert time.monotonic() < self.deadline, self.text()
            self.drain(0.01)
        self.drain()
        return self.text()

    def text(self):
        return self.output.decode().replace("\r\n", "\n")

    def type(self, line):
        typed = line.encode()
        self.echoed = len(self.output) + len(typed) + len(b"\r\n")
        os.write(self.master, typed + b"\n")

    def close(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()
        os.close(self.master)
        os.close(self.slave)


def replay(session, example):
    """Types what `example` shows being typed, until the example is done or
    the session parts from it; returns what the session shows and what the
    example does, as lists of lines without trailing spaces."""
    expected = example_lines(example)
    while True:
        *complete, waiting = session.wait_for_input().split("\n")
        shown = [line.rstrip() for line in complete + [waiting]]
        at = lines_match(shown[:-1], expected)
        if at is None or at == len(expected):
            return shown, expected
        line = expected[at]
        if line is ANY_LINES:
            return shown, expected
        if line == waiting.rstrip():
            session.type("")
        elif line.startswith(waiting):
            session.type(line[len(waiting):])
        else:
            return shown, expected


@pytest.mark.skipif(not os.path.exists(f"/proc/{os.getpid()}/syscall"),
                    reason="needs /proc/<pid>/syscall to see the "
                           "interpreter wait for input")
@pytest.mark.parametrize("example", sessions())
def test_example_replays_exactly(tmp_path, example):
    session = Session(tmp_path)
    try:
        shown, expected = replay(session, example)
    finally:
        session.close()
    # Every line of the example shown, then the prompt for the next one.
    assert (lines_match(shown[:-1], expected), shown[-1]) == \
        (len(expected), ">>>"), "\n".join(
            ["the session shows:", *shown, "", "the README shows:", example])


@pytest.mark.parametrize("document", DOCUMENTS,
                         ids=lambda d: str(d.relative_to(REPO)))
def test_every_example_is_replayed(document):
    """No example is left out of the sessions, which would let it drift."""
    examples = "".join(param.values[0] for param in sessions())
    blocks = BLOCK.findall(document.read_text())
    assert blocks
    assert all(block in examples for block in blocks)


@pytest.mark.parametrize("shown, example, at", [
    (["a", "b"], "a\nb\nc", 2),
    (["a", "x", "y", "b"], "a\n...\nb", 3),
    (["a", "b"], "a\n...\nb", 3),
    (["a", "x"], "a\n...\n>>> next", 2),
    (["a", "x"], "a\nb", None),
    (["a", "b", "c"], "a\nb", None),
    # After a statement `...` is the prompt of an empty line.
    ([">>> if 1:", "...     2", "...", "2"],
     ">>> if 1:\n...     2\n...\n2", 4),
    ([">>> if 1:", "...     2", "x", "2"], ">>> if 1:\n...     2\n...\n2",
     None),
])
def test_lines_match(shown, example, at):
    assert lines_match(shown, example_lines(example)) == at
