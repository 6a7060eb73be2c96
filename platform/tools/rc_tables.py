#!/usr/bin/env python3
"""Turns the DIALOGEX and ICON blocks of a resource script into C++ tables for
the Linux build (see platform/user/resource_table.h). It reads the same file
that windres compiles for Windows, so both builds show the same dialogs.

usage: rc_tables.py SCRIPT.rc OUTPUT.cpp

Understood: #include of a quoted header (its #defines give the ids, and
string #defines may stand in a control's text, joined to the quoted parts
beside them as the resource compiler joins adjacent strings),
`ID ICON "file"`, `ID DIALOGEX x, y, cx, cy` with STYLE, EXSTYLE, CAPTION and
FONT, and inside BEGIN ... END only the generic `CONTROL text, id, class,
style, x, y, cx, cy[, exstyle]` form. Everything else is skipped. Anything
malformed in those blocks stops the build with the line it was on."""
import os
import re
import sys

# The Win32 values the script's expressions may name.
CONSTANTS = {
    'WS_OVERLAPPED': 0, 'WS_POPUP': 0x80000000, 'WS_CHILD': 0x40000000,
    'WS_MINIMIZE': 0x20000000, 'WS_VISIBLE': 0x10000000, 'WS_DISABLED': 0x08000000,
    'WS_CLIPSIBLINGS': 0x04000000, 'WS_CLIPCHILDREN': 0x02000000, 'WS_CAPTION': 0x00C00000,
    'WS_BORDER': 0x00800000, 'WS_DLGFRAME': 0x00400000, 'WS_SYSMENU': 0x00080000,
    'WS_THICKFRAME': 0x00040000, 'WS_GROUP': 0x00020000, 'WS_TABSTOP': 0x00010000,
    'WS_MINIMIZEBOX': 0x00020000, 'WS_MAXIMIZEBOX': 0x00010000,
    'DS_SETFONT': 0x40, 'DS_MODALFRAME': 0x80, 'DS_FIXEDSYS': 0x08, 'DS_CENTER': 0x800,
    'BS_PUSHBUTTON': 0, 'BS_DEFPUSHBUTTON': 1, 'BS_GROUPBOX': 7, 'BS_COMMANDLINK': 0xE,
    'BS_DEFCOMMANDLINK': 0xF,
    'SS_LEFT': 0, 'SS_CENTER': 1, 'SS_RIGHT': 2, 'SS_ICON': 3, 'SS_BLACKRECT': 4,
    'IDOK': 1, 'IDCANCEL': 2,
}


class RcError(Exception):
    pass


def tokenize(line):
    """Numbers, names, strings (with C escapes and doubled quotes), | , ( ) -"""
    tokens, i = [], 0
    while i < len(line):
        c = line[i]
        if c.isspace():
            i += 1
        elif line.startswith('//', i):
            break
        elif c == '"':
            i += 1
            text = ''
            while True:
                if i >= len(line):
                    raise RcError('unterminated string')
                c = line[i]
                if c == '"':
                    if line.startswith('""', i):
                        text += '"'
                        i += 2
                        continue
                    i += 1
                    break
                if c == '\\' and i + 1 < len(line):
                    e = line[i + 1]
                    text += {'n': '\n', 'r': '\r', 't': '\t', '\\': '\\', '"': '"'}.get(e, '\\' + e)
                    i += 2
                    continue
                text += c
                i += 1
            tokens.append(('str', text))
        elif c in '|,()-+':
            tokens.append(('op', c))
            i += 1
        else:
            m = re.match(r'[A-Za-z0-9_x]+L?', line[i:])
            if not m:
                raise RcError('unexpected character %r' % c)
            tokens.append(('word', m.group(0)))
            i += len(m.group(0))
    return tokens


def split_args(tokens):
    args, cur = [], []
    for t in tokens:
        if t == ('op', ','):
            args.append(cur)
            cur = []
        else:
            cur.append(t)
    args.append(cur)
    return args


def value(tokens, defines):
    """An expression of numbers and names joined by | + - (and unary -)."""
    if not tokens:
        raise RcError('missing value')
    total, op, sign = 0, '|', 1
    for kind, text in tokens:
        if kind == 'op' and text in '()':
            continue
        if kind == 'op' and text == '-' and op is not None:
            sign = -sign
            continue
        if kind == 'op':
            op = text
            continue
        if kind != 'word':
            raise RcError('expected a number or a name, got %r' % text)
        if op is None:
            raise RcError('missing operator before %r' % text)
        name = text.rstrip('L') if re.match(r'^(0x[0-9A-Fa-f]+|[0-9]+)L$', text) else text
        if re.match(r'^0x[0-9A-Fa-f]+$', name):
            v = int(name, 16)
        elif re.match(r'^[0-9]+$', name):
            v = int(name)
        elif name in defines:
            v = defines[name]
            if isinstance(v, str):
                raise RcError('%s is text, not a number' % name)
        elif name in CONSTANTS:
            v = CONSTANTS[name]
        else:
            raise RcError('unknown name %s' % name)
        v *= sign
        sign = 1
        total = {'|': total | v, '+': total + v, '-': total - v}[op]
        op = None
    return total


def read_defines(path, defines):
    with open(path, encoding='utf-8') as f:
        for line in f:
            m = re.match(r'\s*#define\s+(\w+)\s+\(?\s*(-?\s*(?:0x[0-9A-Fa-f]+|\d+))\s*\)?\s*$',
                         line)
            if m:
                defines[m.group(1)] = int(m.group(2).replace(' ', ''), 0)
                continue
            m = re.match(r'\s*#define\s+(\w+)\s+(".*")\s*$', line)
            if m:
                tokens = tokenize(m.group(2))
                if all(kind == 'str' for kind, _ in tokens):
                    defines[m.group(1)] = ''.join(text for _, text in tokens)


def text_value(tokens, defines):
    """A control's text: quoted strings and string #defines side by side, joined;
    None when the argument is not text (an icon's or a bitmap's number)."""
    parts = []
    for kind, text in tokens:
        if kind == 'str':
            parts.append(text)
        elif kind == 'word' and isinstance(defines.get(text), str):
            parts.append(defines[text])
        else:
            return None
    return ''.join(parts)


def wide(text):
    out = 'L"'
    for ch in text:
        o = ord(ch)
        if ch == '"' or ch == '\\':
            out += '\\' + ch
        elif 32 <= o < 127:
            out += ch
        elif o < 32:
            out += '\\%03o' % o
        else:
            out += '\\U%08x' % o
    return out + '"'


def parse(path):
    base = os.path.dirname(path)
    defines, dialogs, icons = {}, [], []
    with open(path, encoding='utf-8') as f:
        lines = f.read().split('\n')
    i = 0

    def fail(message):
        raise RcError('%s:%d: %s' % (path, i + 1, message))

    while i < len(lines):
        line = lines[i].strip()
        try:
            m = re.match(r'#include\s+"([^"]+)"', line)
            if m:
                read_defines(os.path.join(base, m.group(1)), defines)
                i += 1
                continue
            if line.startswith('#'):
                i += 1
                continue
            try:
                tokens = tokenize(line)
            except RcError:
                tokens = []  # a statement this tool does not read
            if len(tokens) >= 3 and tokens[1] == ('word', 'ICON') and tokens[2][0] == 'str':
                icons.append((value([tokens[0]], defines), os.path.join(base, tokens[2][1])))
            elif len(tokens) >= 2 and tokens[1] == ('word', 'DIALOGEX'):
                dialog = {'id': value([tokens[0]], defines), 'style': 0, 'ex_style': 0,
                          'caption': '', 'font': (8, 400, 0, 1, 'MS Shell Dlg'), 'items': []}
                rect = [value(a, defines) for a in split_args(tokens[2:])]
                if len(rect) != 4:
                    fail('DIALOGEX needs x, y, cx, cy')
                dialog['rect'] = rect
                i += 1
                while i < len(lines) and lines[i].strip() != 'BEGIN':
                    t = tokenize(lines[i].strip())
                    if t and t[0] == ('word', 'STYLE'):
                        dialog['style'] = value(t[1:], defines)
                    elif t and t[0] == ('word', 'EXSTYLE'):
                        dialog['ex_style'] = value(t[1:], defines)
                    elif t and t[0] == ('word', 'CAPTION'):
                        dialog['caption'] = t[1][1]
                    elif t and t[0] == ('word', 'FONT'):
                        a = split_args(t[1:])
                        points, face = value(a[0], defines), a[1][0][1]
                        weight = value(a[2], defines) if len(a) > 2 else 400
                        italic = value(a[3], defines) if len(a) > 3 else 0
                        charset = value(a[4], defines) if len(a) > 4 else 1
                        dialog['font'] = (points, weight, italic, charset, face)
                    elif t:
                        fail('unexpected %s before BEGIN' % t[0][1])
                    i += 1
                i += 1
                while i < len(lines) and lines[i].strip() != 'END':
                    t = tokenize(lines[i].strip())
                    if not t:
                        i += 1
                        continue
                    if t[0] != ('word', 'CONTROL'):
                        fail('only CONTROL statements are understood in a dialog')
                    a = split_args(t[1:])
                    if len(a) not in (8, 9):
                        fail('CONTROL needs text, id, class, style, x, y, cx, cy[, exstyle]')
                    text = text_value(a[0], defines)
                    ordinal = 0 if text is not None else value(a[0], defines)
                    item = {'text': text, 'ordinal': ordinal, 'id': value(a[1], defines),
                            'class': a[2][0][1],
                            'style': (value(a[3], defines) | 0x50000000) & 0xFFFFFFFF,
                            'rect': [value(x, defines) for x in a[4:8]],
                            'ex_style': value(a[8], defines) if len(a) == 9 else 0}
                    dialog['items'].append(item)
                    i += 1
                if i >= len(lines):
                    fail('dialog without END')
                dialogs.append(dialog)
        except RcError as e:
            if str(e).startswith(path):
                raise
            fail(str(e))
        i += 1
    return dialogs, icons


def emit(dialogs, icons, out):
    w = ['// Generated by platform/tools/rc_tables.py; do not edit.',
         '#include "user/resource_table.h"', '', 'namespace {', '']
    for d in dialogs:
        w.append('const ResourceDialogItem items_%d[] = {' % d['id'])
        for it in d['items']:
            text = wide(it['text']) if it['text'] is not None else 'nullptr'
            w.append('    {0x%08xu, 0x%08xu, %d, %d, %d, %d, %d, %s, %s, %d},' % (
                it['style'], it['ex_style'], *it['rect'], it['id'], wide(it['class']), text,
                it['ordinal']))
        w.append('};')
    for ident, path in icons:
        with open(path, 'rb') as f:
            data = f.read()
        w.append('const unsigned char icon_%d[] = {' % ident)
        for k in range(0, len(data), 24):
            w.append('    ' + ', '.join('%d' % b for b in data[k:k + 24]) + ',')
        w.append('};')
    w.append('const ResourceDialog dialogs[] = {')
    for d in dialogs:
        pts, weight, italic, charset, face = d['font']
        w.append('    {%d, 0x%08xu, 0x%08xu, %d, %d, %d, %d, %s, %d, %d, %d, %d, %s, items_%d, %d},' % (
            d['id'], d['style'] & 0xFFFFFFFF, d['ex_style'], *d['rect'], wide(d['caption']), pts,
            weight, italic, charset, wide(face), d['id'], len(d['items'])))
    w.append('};')
    w.append('const ResourceIcon icons[] = {')
    for ident, _ in icons:
        w.append('    {%d, icon_%d, sizeof icon_%d},' % (ident, ident, ident))
    w.append('};')
    w += ['const ResourceTable table = {dialogs, %d, icons, %d};' % (len(dialogs), len(icons)),
          '', 'const bool registered = (platform_register_resources(&table), true);', '',
          '} // namespace', '']
    with open(out, 'w', encoding='utf-8') as f:
        f.write('\n'.join(w))


def main():
    if len(sys.argv) != 3:
        sys.exit('usage: rc_tables.py SCRIPT.rc OUTPUT.cpp')
    try:
        dialogs, icons = parse(sys.argv[1])
        if not dialogs:
            raise RcError('%s: no DIALOGEX block' % sys.argv[1])
        emit(dialogs, icons, sys.argv[2])
    except (RcError, OSError) as e:
        sys.exit('rc_tables: %s' % e)


if __name__ == '__main__':
    main()
