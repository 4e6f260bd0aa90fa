"""The bench itself, on a small program of ours (demoapp.exe): the driver types,
checks and reads texts in both languages, and a window that a script did not
expect fails the test with its title and text."""
import os
import shutil

import pytest

from harness import IDCANCEL, IDOK, Step, WindowFailure, message_box, press, set_check, type_text


@pytest.fixture
def demo(wine64, workdir):
    source = os.path.join(wine64.build, "win32", "tests", "e2e", "demoapp.exe")
    path = os.path.join(workdir(wine64), "demoapp.exe")
    shutil.copyfile(source, path)
    return path


@pytest.mark.parametrize("lang,title", [("en", "Demo Dialog"), ("ja", "デモ")])
def test_driver_types_checks_and_reads(wine64, demo, start, lang, title):
    run = start(wine64, demo, lang=lang)
    dialog = Step(title=title, actions=[type_text(1001, "C:\\data"), set_check(1012, True)],
                  stays=True)
    seen = run.script([dialog], end=False)[0]
    assert wine64.driver.text(seen.hwnd, 1001) == "C:\\data"
    assert os.path.getsize(seen.picture) > 1000
    wine64.driver.click(seen.hwnd, IDOK)

    def typed_text_arrived(driver, hwnd, seen):
        assert seen.control_text(65535) == "checked: C:\\data"

    answer = message_box("Demo", answer=IDCANCEL)
    answer.check = typed_text_arrived
    run.script([answer])


def test_unexpected_window_fails_with_its_title_and_text(wine64, demo, start):
    run = start(wine64, demo, "surprise")
    with pytest.raises(WindowFailure) as failure:
        run.script([Step(title="Demo Dialog", actions=[press(IDCANCEL)])])
    assert "'Unplanned'" in str(failure.value)
    assert "Surprise!" in str(failure.value)
    assert not run.running()


def test_window_left_after_script_fails(wine64, demo, start):
    run = start(wine64, demo)
    with pytest.raises(WindowFailure) as failure:
        run.script([Step(title="Demo Dialog", actions=[type_text(1001, "x"), press(IDOK)])])
    assert "unexpected window 'Demo'" in str(failure.value)


def test_windows_that_come_and_go_need_no_step(wine64, demo, start):
    run = start(wine64, demo, "flash")
    run.script([Step(title="Demo Dialog", actions=[press(IDCANCEL)])])
    assert [s.title for s in run.seen] == ["Decompressing...", "Demo Dialog"]


def test_untitled_message_box_is_not_taken_for_a_passing_window(wine64, demo, start):
    run = start(wine64, demo, "untitled")
    with pytest.raises(WindowFailure) as failure:
        run.script([Step(title="Demo Dialog", actions=[press(IDCANCEL)])])
    assert "No title" in str(failure.value)
