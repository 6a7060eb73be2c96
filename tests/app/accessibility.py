#!/usr/bin/env python3
"""Sonaret as assistive technologies see it, through at-spi: the real
program on a private display, session bus and sound server, read and driven
with pyatspi (Debian's python3-pyatspi: run this with the system's python3).

usage: accessibility.py PROGRAM

Checks, in a German session (LANG=de_DE.UTF-8, the locale made here):
  the main window: the frame "Sonaret"; its buttons by their texts, each
    command link's note as its description; the About link a link named by
    its text; exactly one control reports the focus;
  the About box, opened by the link: a dialog named "About" whose three
    links are links named by their texts, one control focused;
  a message box (Start in a folder that has gone): a dialog, with its text;
  the toolkit's folder chooser (更改文件夹), whose buttons speak
    the session's language ("Abbrechen", "Auswählen").
The main window's tree is printed. Exit status 0 when every check holds."""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from app_process import FAILURES, DesktopSession, SoundServer, check  # noqa: E402

import pyatspi  # noqa: E402

NOTES = {'录音设备  点击更改', 'mp3比特率', '文件保存位置，点击打开文件夹'}


def wait_for(condition, seconds=30):
    deadline = time.time() + seconds
    while True:
        try:
            result = condition()
        except Exception:  # an object that went away while it was read
            result = None
        if result or time.time() > deadline:
            return result
        time.sleep(0.2)


def application():
    # The toolkit names the application by the program's name, which is its
    # app id, the menu entry's name.
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name == 'example.sonaret.Sonaret':
            return app
    return None


def window(role, name=None):
    """A showing top-level window of the program by its role (and name).
    Roles are compared as at-spi's constants: their names change between
    releases ("push button" became "button")."""
    app = application()
    for child in app or []:
        if child.getRole() == role and (name is None or child.name == name) and \
                child.getState().contains(pyatspi.STATE_SHOWING):
            return child
    return None


def descendants(node):
    for child in node:
        yield child
        yield from descendants(child)


def focused(node):
    return [d for d in descendants(node) if d.getState().contains(pyatspi.STATE_FOCUSED)]


def one_focused(node):
    """Until the window's focus has settled on one control (a slow build
    shows the window first): those that report the focus."""
    wait_for(lambda: len(focused(node)) == 1, 10)
    return focused(node)


def find(node, role, name=None):
    return [d for d in descendants(node)
            if d.getRole() == role and (name is None or d.name == name)]


def press(node):
    node.queryAction().doAction(0)


def dump(node, depth=0):
    states = node.getState()
    marks = ' [focused]' if states.contains(pyatspi.STATE_FOCUSED) else ''
    described = ' (%s)' % node.description if node.description else ''
    print('%s%s %r%s%s' % ('  ' * depth, node.getRoleName(), node.name, described, marks))
    for child in node:
        dump(child, depth + 1)


def check_main(main):
    dump(main)
    buttons = find(main, pyatspi.ROLE_PUSH_BUTTON)
    check({b.name for b in buttons} >= {'开始录音', '停止录音'},
          'the buttons are named by their texts: %s' % [b.name for b in buttons])
    check({b.description for b in buttons} >= NOTES,
          'the command links\' notes are their descriptions: %s' %
          [b.description for b in buttons])
    links = find(main, pyatspi.ROLE_LINK)
    check([link.name for link in links] == ['关于'],
          'the About link is one link named by its text: %s' % [link.name for link in links])
    now = one_focused(main)
    check(len(now) == 1, 'one control has the focus: %s' % [f.name for f in now])
    return links[0] if links else None


def check_about(link):
    press(link)
    about = wait_for(lambda: window(pyatspi.ROLE_DIALOG, 'About'))
    if not check(about is not None, 'the About link opens a dialog named "About"'):
        return
    links = find(about, pyatspi.ROLE_LINK)
    print('About box: links %s' % [link.name for link in links])
    check(len(links) == 3 and all(link.name.startswith(('项目', '个人')) for link in links),
          'the About box has three links named by their texts')
    texts = [label.name for label in find(about, pyatspi.ROLE_LABEL)]
    check(any('\n' in t for t in texts) and not any('\r' in t for t in texts),
          'the About box\'s lines break at "\\n" alone: %r' % texts)
    now = one_focused(about)
    check(len(now) == 1, 'one control of the About box has the focus: %s' % [f.name for f in now])
    ok = find(about, pyatspi.ROLE_PUSH_BUTTON, 'OK')
    if check(bool(ok), 'the About box has its OK button'):
        press(ok[0])
        check(wait_for(lambda: window(pyatspi.ROLE_DIALOG, 'About') is None), 'OK closes the About box')


def check_message_box(main, music):
    os.rmdir(music)
    press(find(main, pyatspi.ROLE_PUSH_BUTTON, '开始录音')[0])
    box = wait_for(lambda: window(pyatspi.ROLE_DIALOG, '录音出错'))
    if check(box is not None, 'Start in a folder that has gone shows a dialog "录音出错"'):
        texts = [d.name for d in find(box, pyatspi.ROLE_LABEL)]
        check(any('编码器打开出错' in t for t in texts), 'the box says why: %s' % texts)
        press(find(box, pyatspi.ROLE_PUSH_BUTTON, 'OK')[0])
        check(wait_for(lambda: window(pyatspi.ROLE_DIALOG, '录音出错') is None), 'OK closes the box')
    os.makedirs(music)


def check_folder_chooser(main):
    press(find(main, pyatspi.ROLE_PUSH_BUTTON, '更改文件夹')[0])
    chooser = wait_for(lambda: window(pyatspi.ROLE_FILE_CHOOSER))
    if not check(chooser is not None, 'the folder chooser opens'):
        return
    names = {b.name for b in find(chooser, pyatspi.ROLE_PUSH_BUTTON)}
    check({'Abbrechen', 'Auswählen'} <= names,
          'the folder chooser\'s buttons are in the session\'s language: %s' % sorted(names))
    cancel = find(chooser, pyatspi.ROLE_PUSH_BUTTON, 'Abbrechen')
    if cancel:
        press(cancel[0])
        check(wait_for(lambda: window(pyatspi.ROLE_FILE_CHOOSER) is None), 'Cancel closes the chooser')


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    work = tempfile.mkdtemp(prefix='sonaret-a11y-')
    session = sound = proc = None
    try:
        session = DesktopSession(work)
        # The accessibility bus starts on the session's bus, for the program
        # and for pyatspi here.
        env = session.apply(dict(os.environ))
        for name in ('NO_AT_BRIDGE', 'GTK_A11Y', 'LC_ALL', 'LANGUAGE'):
            env.pop(name, None)
        os.environ.update(DBUS_SESSION_BUS_ADDRESS=env['DBUS_SESSION_BUS_ADDRESS'])
        # A German session, whatever locales the machine has made.
        locales = os.path.join(work, 'locale')
        os.makedirs(locales)
        made = subprocess.run(['localedef', '-i', 'de_DE', '-f', 'UTF-8',
                               os.path.join(locales, 'de_DE.UTF-8')], capture_output=True,
                              text=True, timeout=120)
        if not check(made.returncode == 0, 'the German locale is made: %s' % made.stderr):
            sys.exit(1)
        env.update(LOCPATH=locales, LANG='de_DE.UTF-8')
        music = os.path.join(work, 'music')
        config = os.path.join(work, 'config')
        os.makedirs(music)
        os.makedirs(config)
        with open(os.path.join(config, 'user-dirs.dirs'), 'w', encoding='utf-8') as f:
            f.write('XDG_MUSIC_DIR="%s"\n' % music)
        env.update(HOME=work, XDG_CONFIG_HOME=config)
        sound = SoundServer(work)
        env.update(sound.environment())
        proc = subprocess.Popen([sys.argv[1]], env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        main_window = wait_for(lambda: window(pyatspi.ROLE_FRAME, 'Sonaret'), 60)
        if check(main_window is not None, 'the main window is a frame named "Sonaret"'):
            link = check_main(main_window)
            if link:
                check_about(link)
            check_message_box(main_window, music)
            check_folder_chooser(main_window)
    finally:
        if proc and proc.poll() is None:
            proc.kill()
            proc.wait()
        if sound:
            check(sound.stop(), 'every sink was kept awake to the end')
        if session:
            session.stop()
        shutil.rmtree(work, ignore_errors=True)
    if FAILURES:
        sys.exit(1)
    print('accessibility: all checks hold')


if __name__ == '__main__':
    main()
