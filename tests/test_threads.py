"""Long loops that run no Python code let other threads run: the frame's
signal check hands the interpreter lock to a thread that waits for it. The
waiting thread proves it ran by interrupting the main thread, which ends
the loop with KeyboardInterrupt; without the hand-over the loop would run
to its end (or for ever) first. In child processes."""

import pytest

from conftest import run_python

# (set-up binding `f`, a call that runs long in C, its traceback entry)
LONG_LOOPS = {
    "elemcount general walk": (
        "from korvex.list.count import elemcount as f",
        "f([[i] for i in range(60_000)])", "korvex.list.count.elemcount 3"),
    "ambrel over a C callee": (
        "from korvex.list.ambrel import ambrel as f; import itertools",
        "f(itertools.repeat(None), bool)", "korvex.list.ambrel.ambrel 2"),
    "multi_str_sundle": (
        "from korvex.list.strutils.sundle import multi_str_sundle as f\n"
        "strings = ['x' * 1_000_000] * 100_000",
        "f(',', *strings)", "korvex.list.strutils.sundle.multi_str_sundle 5"),
}


@pytest.mark.parametrize("setup,call,entry", LONG_LOOPS.values(),
                         ids=LONG_LOOPS)
def test_a_waiting_thread_runs_during_a_long_loop(setup, call, entry):
    code, out, err = run_python(setup + f"""
import _thread, threading, time
def interrupt():
    time.sleep(0.2)
    _thread.interrupt_main()
threading.Thread(target=interrupt).start()
try:
    {call}
except KeyboardInterrupt as e:
    tb = e.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    print(tb.tb_frame.f_code.co_name, tb.tb_lineno)
""")
    assert (code, out.strip(), err) == (0, entry, "")
