#!/usr/bin/env python3
"""Sonaret as a Linux desktop installs it.

usage: check_desktop.py install BUILD VERSION ICO APP_PROCESS SHOTS
       check_desktop.py deb BUILD VERSION

install: scripts/install.sh of the build BUILD into a temporary prefix,
  staged under a temporary DESTDIR so that a file meant for outside the
  prefix shows up there and never lands on this machine; the prefix has one
  of the install's folders already (share/icons), empty. Every installed
  file is listed. The menu entry and the software-centre metadata pass their
  validators and agree with each other and with what is installed (the
  icon at every size of the theme, drawn from the program's icon ICO at
  the sizes it has; the program the entry starts; the release VERSION,
  which the changelog, the manual page and the Windows program's version
  resource name too).
  Then the program, found through the entry's Exec line with the prefix's
  bin/ on PATH, starts under Xvfb against a private sound server and shows
  its window, whose X class is the entry's StartupWMClass (APP_PROCESS
  does that part). Last, scripts/uninstall.sh removes every file again,
  and every folder the install made: the prefix holds what it held before.
deb: the Debian package CPack makes of the same build. Its files are what
  the install puts under /usr; it has no maintainer scripts and no
  conffiles, so removing it leaves nothing; its dependencies name the
  package of every library the program links, with the versions
  dpkg-shlibdeps computes; lintian finds no error (its findings are
  printed).
Exit status 0 when every check holds; failures are printed."""
import configparser
import glob
import gzip
import io
import os
import re
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
import xml.etree.ElementTree as ET

FAILURES = []
# The sizes desktops look for in the hicolor theme, from menus to software
# centres.
THEME_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def check(condition, message):
    if not condition:
        FAILURES.append(message)
        print('FAILED: ' + message)
    return condition


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, timeout=300, **kwargs)


def staged_install(build, prefix, stage, make_install=False):
    """Installs the build under stage + prefix by its install rules, or with
    make_install as `make install` does (which also notes the folders it
    makes); returns every file under stage, relative to it."""
    env = dict(os.environ, DESTDIR=stage)
    command = ['cmake', '--install', build, '--prefix', prefix, '--strip']
    if make_install:
        command = [os.path.join(SOURCE, 'scripts', 'install.sh'), build, prefix]
    result = run(command, env=env)
    if not check(result.returncode == 0, ' '.join(command) + ': ' + result.stdout + result.stderr):
        return []
    return sorted(os.path.relpath(os.path.join(d, f), stage)
                  for d, _, files in os.walk(stage) for f in files)


def png_size(path):
    with open(path, 'rb') as f:
        head = f.read(24)
    if head[:8] != b'\x89PNG\r\n\x1a\n':
        return None
    return struct.unpack('>II', head[16:24])


def desktop_entry(path):
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str
    parser.read(path, encoding='utf-8')
    return parser['Desktop Entry']


def check_install(build, version, ico, app_process, shots):
    work = tempfile.mkdtemp(prefix='sonaret-install-')
    try:
        prefix = os.path.join(work, 'prefix')
        stage = os.path.join(work, 'stage')
        # A prefix that had one folder of the install's before it, empty.
        inside = prefix.lstrip('/') + '/'
        root = os.path.join(stage, inside)
        before = ['share', 'share/icons']
        os.makedirs(os.path.join(root, before[-1]))
        files = staged_install(build, prefix, stage, make_install=True)
        print('installed under the prefix:')
        for f in files:
            print('  ' + f)
        outside = [f for f in files if not f.startswith(inside)]
        check(files and not outside, 'nothing is installed outside the prefix: %s' % outside)
        installed = sorted(f[len(inside):] for f in files if f.startswith(inside))

        entries = [f for f in installed if f.startswith('share/applications/')]
        if not check(len(entries) == 1 and entries[0].endswith('.desktop'),
                     'one menu entry in share/applications: %s' % entries):
            return
        entry_path = os.path.join(root, entries[0])
        app_id = os.path.basename(entries[0])[:-len('.desktop')]
        valid = run(['desktop-file-validate', entry_path])
        check(valid.returncode == 0 and not valid.stdout.strip(),
              'desktop-file-validate: ' + valid.stdout + valid.stderr)
        entry = desktop_entry(entry_path)
        check(entry.get('Name') == 'Sonaret', 'the menu shows Sonaret: %s' % entry.get('Name'))
        for key in ('Name', 'Comment'):
            chinese = entry.get(key + '[zh_CN]', '')
            check(re.search('[\u4e00-\u9fff]', chinese),
                  '%s has a Chinese text beside the English one: %r' % (key, chinese))
        check(set(('AudioVideo', 'Audio', 'Recorder')) <=
              set(entry.get('Categories', '').split(';')),
              'the entry is in the audio recorders\' menu: %s' % entry.get('Categories'))

        # The icon the entry names, at every size of the theme, each as large
        # as its folder says; those the program's icon has are its pixels.
        icon = entry.get('Icon', '')
        frames = run(['identify', '-format', '%w\n', ico]).stdout.split()
        for size in THEME_SIZES:
            png = 'share/icons/hicolor/%dx%d/apps/%s.png' % (size, size, icon)
            if not check(png in installed, 'the icon %s is installed' % png):
                continue
            path = os.path.join(root, png)
            check(png_size(path) == (size, size), '%s is %s' % (png, png_size(path)))
            frames = run(['identify', '-format', '%w\\n', ico]).stdout.split()
            if str(size) in frames:
                differ = run(['compare', '-metric', 'AE', '%s[%d]' % (ico, frames.index(str(size))),
                              path, 'null:'])
                check(differ.stderr.strip() == '0',
                      '%s is the program\'s icon at that size (%s pixels differ)' %
                      (png, differ.stderr.strip()))

        # The software centre's view, about the same program.
        metainfo = 'share/metainfo/%s.metainfo.xml' % app_id
        if check(metainfo in installed, 'the metadata %s is installed' % metainfo):
            path = os.path.join(root, metainfo)
            valid = run(['appstreamcli', 'validate', '--no-net', path])
            print(valid.stdout.strip())
            check(valid.returncode == 0, 'appstreamcli validate --no-net: no errors')
            component = ET.parse(path).getroot()
            check(component.findtext('id') == app_id, 'the metadata\'s id is ' + app_id)
            check(component.findtext("launchable[@type='desktop-id']") == app_id + '.desktop',
                  'the metadata launches the installed entry')
            check(component.findtext("icon[@type='stock']") == icon,
                  'the metadata shows the entry\'s icon')
            check(component.findtext('provides/binary') == entry.get('Exec', '').split()[0],
                  'the metadata names the program the entry starts')
            release = component.find('releases/release')
            check(release is not None and release.get('version') == version,
                  'the newest release is %s' % version)
            # The screenshot is the README's, as the repository serves it.
            image = component.findtext('screenshots/screenshot/image') or ''
            shown = image.split('/raw/main/', 1)[-1]
            check(image.startswith('https://') and
                  os.path.isfile(os.path.join(SOURCE, shown)),
                  'the screenshot is a picture of the source tree: %s' % image)

        # Every other text that names the version names the same one.
        with gzip.open(os.path.join(root, 'share/doc/sonaret/changelog.gz'), 'rt') as f:
            check(f.readline().startswith('sonaret (%s)' % version),
                  'the changelog\'s newest entry is %s' % version)
        with gzip.open(os.path.join(root, 'share/man/man1/sonaret.1.gz'), 'rt') as f:
            check('"Sonaret %s"' % version in f.read(), 'the manual page is of %s' % version)
        with open(os.path.join(SOURCE, 'ui', 'sonaret.rc'), encoding='utf-8') as f:
            rc = re.search(r'FILEVERSION\s+([\d,\s]+?)\n', f.read())
        check(rc and rc.group(1).replace(' ', '').replace(',', '.') == version,
              'the Windows program\'s version resource is %s' % version)

        # The program, found as the menu finds it.
        command = entry.get('Exec', '').split()
        path_env = os.path.join(root, 'bin') + os.pathsep + os.environ.get('PATH', '')
        program = shutil.which(command[0], path=path_env) if command else None
        if not check(program and program.startswith(root) and len(command) == 1,
                     'the entry starts the installed program: Exec=%s' % entry.get('Exec')):
            return
        with open(program, 'rb') as f:
            binary = f.read()
        for tree in (SOURCE, os.path.abspath(build)):
            check(tree.encode() not in binary,
                  'the installed program names no folder of the source tree or the build')
        started = subprocess.run([sys.executable, app_process, 'escape', program, '--shots', shots,
                                  '--entry', entry_path],
                                 env=dict(os.environ, PATH=path_env), timeout=400)
        check(started.returncode == 0, 'the installed program shows its window and closes')

        # And away again.
        removed = run([os.path.join(SOURCE, 'scripts', 'uninstall.sh'), build, prefix],
                      env=dict(os.environ, DESTDIR=stage))
        left = [os.path.join(d, f) for d, _, names in os.walk(stage) for f in names]
        check(removed.returncode == 0 and not left,
              'uninstall.sh removes every installed file: %s left %s' % (removed.stderr, left))
        check(not os.path.exists(os.path.join(root, 'share/doc/sonaret')),
              'and the program\'s own documents folder')
        folders = sorted(os.path.relpath(os.path.join(d, f), root)
                         for d, names, _ in os.walk(root) for f in names)
        check(folders == before, 'the prefix keeps the folders it had before, and only those: %s'
              % folders)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def control_fields(deb):
    info = run(['dpkg-deb', '-f', deb]).stdout
    fields = {}
    for line in info.splitlines():
        if line and not line[0].isspace() and ':' in line:
            key, value = line.split(':', 1)
            fields[key] = value.strip()
    return fields


def package_of(path):
    """The package that holds a library file (the linker may name it by its
    /lib or its /usr/lib path; dpkg knows one of them)."""
    path = os.path.realpath(path)
    for candidate in (path, re.sub('^/usr/', '/', path), '/usr' + path):
        owner = run(['dpkg-query', '-S', candidate])
        if owner.returncode == 0:
            return owner.stdout.split(':')[0]
    return None


def needs_any_version(owner, program):
    """True when every symbol the program takes from the package's library
    has been there since its first version (its symbols file says 0), so
    that dpkg-shlibdeps rightly asks for no version at all."""
    files = glob.glob('/var/lib/dpkg/info/%s:*.symbols' % owner) + \
        glob.glob('/var/lib/dpkg/info/%s.symbols' % owner)
    if not files:
        return False
    since = {}
    for line in open(files[0], encoding='utf-8'):
        match = re.match(r'^ (\S+)@Base (\S+)', line)
        if match:
            since[match.group(1)] = match.group(2)
    taken = run(['nm', '-D', '--undefined-only', program]).stdout.split()
    used = [since[name] for name in taken if name in since]
    return bool(used) and all(version == '0' for version in used)


def check_deb(build, version):
    work = tempfile.mkdtemp(prefix='sonaret-deb-')
    try:
        made = run(['cpack', '--config', os.path.join(build, 'CPackConfig.cmake'),
                    '-B', os.path.join(work, 'out')])
        arch = run(['dpkg', '--print-architecture']).stdout.strip()
        deb = os.path.join(work, 'out', 'sonaret_%s_%s.deb' % (version, arch))
        if not check(made.returncode == 0 and os.path.exists(deb),
                     'cpack makes %s: %s' % (os.path.basename(deb), made.stdout + made.stderr)):
            return
        info = run(['dpkg-deb', '-I', deb]).stdout
        print(info)
        fields = control_fields(deb)
        for key, want in (('Package', 'sonaret'), ('Version', version), ('Architecture', arch)):
            check(fields.get(key) == want, '%s is %s: %s' % (key, want, fields.get(key)))
        check(fields.get('Maintainer') and fields.get('Description'),
              'the package names its maintainer and says what it is')
        members = subprocess.run(['dpkg-deb', '--ctrl-tarfile', deb], capture_output=True,
                                 timeout=60).stdout
        with tarfile.open(fileobj=io.BytesIO(members)) as tar:
            control = sorted(os.path.normpath(m.name) for m in tar.getmembers() if m.isfile())
        check(control == ['control', 'md5sums'],
              'no maintainer script and no conffile, so removal leaves nothing: %s' % control)

        # The files: exactly what the install puts under /usr.
        contents = run(['dpkg-deb', '-c', deb]).stdout
        print(contents)
        packed = sorted(line.split()[-1][2:] for line in contents.splitlines()
                        if line and not line.startswith('d'))
        staged = staged_install(build, '/usr', os.path.join(work, 'stage'))
        check(packed == staged, 'the package holds what the install puts under /usr: '
              'only in the package %s, only installed %s' %
              (sorted(set(packed) - set(staged)), sorted(set(staged) - set(packed))))

        # The dependencies: the package of every library the program links,
        # each with the least version its symbols need.
        unpacked = os.path.join(work, 'root')
        run(['dpkg-deb', '-x', deb, unpacked])
        program = os.path.join(unpacked, 'usr/bin/sonaret')
        dynamic = run(['readelf', '-d', program]).stdout
        needed = re.findall(r'\(NEEDED\)\s+Shared library: \[(.+?)\]', dynamic)
        check(needed, 'the program links shared libraries')
        # Where the dynamic linker finds each library on this machine.
        loaded = dict(re.findall(r'^\s*(\S+) => (/\S+)', run(['ldd', program]).stdout, re.M))
        depends = {}
        for group in fields.get('Depends', '').split(','):
            for alternative in group.split('|'):
                match = re.match(r'\s*([a-z0-9][a-z0-9+.-]*)\s*(\(.*\))?', alternative)
                if match:
                    depends[match.group(1)] = match.group(2) or ''
        for library in needed:
            owner = package_of(loaded[library]) if library in loaded else None
            if not check(owner, 'the package of %s is known' % library):
                continue
            check(owner in depends, 'the package depends on %s (for %s)' % (owner, library))
            check(depends.get(owner, '').startswith('(>=') or
                  (depends.get(owner) == '' and needs_any_version(owner, program)),
                  'the dependency on %s carries a computed version: %r' %
                  (owner, depends.get(owner)))

        lint = run(['lintian', '--display-info', '--fail-on', 'error', deb])
        print('lintian:\n' + (lint.stdout.strip() or '(nothing)'))
        check(lint.returncode == 0, 'lintian reports no error')
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    args = sys.argv[1:]
    if len(args) == 6 and args[0] == 'install':
        check_install(*args[1:])
    elif len(args) == 3 and args[0] == 'deb':
        check_deb(*args[1:])
    else:
        sys.exit(__doc__)
    if FAILURES:
        sys.exit(1)
    print('all checks hold')


if __name__ == '__main__':
    main()
