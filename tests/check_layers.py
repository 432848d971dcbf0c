#!/usr/bin/env python3
"""Checks that every include of the tree's sources points down the floor order
of docs/layers.md, or stays on its own floor.

    check_layers.py ROOT                scans the checkout at ROOT
    check_layers.py --self-check ROOT   plants faults in a scratch copy of ROOT
                                        and expects each one to be reported

Every .h, .cpp and .inc file below a top-level folder is scanned; each
`#include "..."` is resolved against the including file's folder, then against
ROOT (the build's include folder).  A fault is an include that climbs to a
higher floor without being listed as an exception, an include that names no
file of the tree, a source file in a folder that is on no floor, and a listed
exception that no longer matches a climbing include.  Exit status 0 when
there is none; 1 with one line per fault."""

import os
import re
import shutil
import sys
import tempfile

LAYERS_DOC = 'docs/layers.md'
SOURCE_ENDINGS = ('.h', '.cpp', '.inc')
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def skipped_folder(name):
    # Build folders, the build scripts' output and hidden folders hold no source of the tree.
    return name.startswith('.') or name.startswith('build') or name in ('out', '__pycache__')


def read_layers(root):
    """The `floors` and `exceptions` blocks of docs/layers.md: a map from
    top-level folder to floor number (1 = lowest) with the floor names, and
    the set of (file, header) pairs allowed to climb."""
    blocks = {}
    current = None
    with open(os.path.join(root, LAYERS_DOC), encoding='utf-8') as doc:
        for line in doc:
            text = line.strip()
            if current is None:
                if text in ('```floors', '```exceptions'):
                    current = text[3:]
                    blocks[current] = []
            elif text.startswith('```'):
                current = None
            elif text and not text.startswith('#'):
                blocks[current].append(text)
    if not blocks.get('floors'):
        sys.exit(f'layers: {LAYERS_DOC} has no ```floors block')
    floors = {}
    names = []
    for number, line in enumerate(blocks['floors'], start=1):
        folders = line.partition(':')[0].split()
        if not folders:
            sys.exit(f'layers: {LAYERS_DOC}: floor line without a folder: {line}')
        for folder in folders:
            if folder in floors:
                sys.exit(f'layers: {LAYERS_DOC}: folder {folder} is on two floors')
            floors[folder] = number
        names.append(' '.join(folders))
    exceptions = set()
    for line in blocks.get('exceptions', []):
        words = line.partition(':')[0].split()
        if len(words) != 3 or words[1] != '->':
            sys.exit(f'layers: {LAYERS_DOC}: an exception reads "FILE -> HEADER: why", not: {line}')
        exceptions.add((words[0], words[2]))
    return floors, names, exceptions


def source_files(root):
    for top in sorted(os.listdir(root)):
        path = os.path.join(root, top)
        if os.path.isfile(path):
            if top.endswith(SOURCE_ENDINGS):
                yield top
            continue
        if skipped_folder(top):
            continue
        for folder, dirs, files in os.walk(path):
            dirs[:] = sorted(d for d in dirs if not skipped_folder(d))
            for name in sorted(files):
                if name.endswith(SOURCE_ENDINGS):
                    yield os.path.relpath(os.path.join(folder, name), root).replace(os.sep, '/')


def resolve(root, source, target):
    """The tree-relative path an include names, or None when it names no file of the tree."""
    for base in (os.path.dirname(source), ''):
        candidate = os.path.normpath(os.path.join(base, target)).replace(os.sep, '/')
        if not candidate.startswith('../') and os.path.isfile(os.path.join(root, candidate)):
            return candidate
    return None


def scan(root):
    """Returns (faults, file count, include count)."""
    floors, names, exceptions = read_layers(root)

    def floor_of(path):
        return floors.get(path.split('/')[0]) if '/' in path else None

    def describe(number):
        return f'{names[number - 1]} (floor {number})'

    faults = []
    used = set()
    files = includes = 0
    for source in source_files(root):
        files += 1
        source_floor = floor_of(source)
        if source_floor is None:
            faults.append(f'layers: {source}: its folder is on no floor of {LAYERS_DOC}')
            continue
        with open(os.path.join(root, source), encoding='utf-8', errors='replace') as text:
            lines = text.read().split('\n')
        for number, line in enumerate(lines, start=1):
            match = INCLUDE.match(line)
            if not match:
                continue
            includes += 1
            target = match.group(1)
            header = resolve(root, source, target)
            if header is None:
                faults.append(f'layers: {source}:{number} includes "{target}", which is no file of the tree')
                continue
            header_floor = floor_of(header)
            if header_floor is None:
                faults.append(f'layers: {source}:{number} includes "{target}" ({header}), '
                              f'whose folder is on no floor of {LAYERS_DOC}')
                continue
            if header_floor <= source_floor:
                continue
            if (source, header) in exceptions:
                used.add((source, header))
                continue
            faults.append(f'layers: {source}:{number} includes "{target}" ({header}): '
                          f'{describe(source_floor)} may not use {describe(header_floor)}')
    for source, header in sorted(exceptions - used):
        faults.append(f'layers: the exception {source} -> {header} in {LAYERS_DOC} matches no climbing '
                      f'include: remove it')
    return faults, files, includes


def self_check(root):
    """Copies the tree's sources and docs/layers.md into a scratch folder,
    checks that the copy is clean, then plants one include at a time: every
    climb must come back as exactly one fault naming the file, the include and
    both floors; an include down or sideways must come back clean."""
    floors, names, exceptions = read_layers(root)
    failures = []
    with tempfile.TemporaryDirectory() as scratch:
        copy = os.path.join(scratch, 'tree')
        os.makedirs(os.path.join(copy, 'docs'))
        shutil.copy(os.path.join(root, LAYERS_DOC), os.path.join(copy, LAYERS_DOC))
        for folder in floors:
            if os.path.isdir(os.path.join(root, folder)):
                shutil.copytree(os.path.join(root, folder), os.path.join(copy, folder),
                                ignore=lambda _, entries: [e for e in entries if skipped_folder(e)])
        faults, _, _ = scan(copy)
        if faults:
            return ['layers self-check: the copy is not clean before anything is planted:'] + faults
        sources = list(source_files(copy))

        def first(floor, ending, besides=None):
            for path in sources:
                if floors.get(path.split('/')[0]) == floor and path.endswith(ending) and path != besides:
                    return path
            return None

        def planted(path, line):
            """The faults with one line appended to a file of the copy, which is then restored."""
            full = os.path.join(copy, path)
            original = None
            if os.path.exists(full):
                with open(full, encoding='utf-8') as text:
                    original = text.read()
            else:
                os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, 'a', encoding='utf-8') as out:
                out.write('\n' + line + '\n')
            faults, _, _ = scan(copy)
            if original is None:
                os.remove(full)
            else:
                with open(full, 'w', encoding='utf-8') as out:
                    out.write(original)
            return faults

        def expect(name, faults, words):
            if words is None:
                if faults:
                    failures.append(f'layers self-check: {name}: reported {faults}, expected nothing')
            elif len(faults) != 1 or not all(word in faults[0] for word in words):
                failures.append(f'layers self-check: {name}: reported {faults}, '
                                f'expected one fault naming {words}')

        cases = 0
        top = len(names)
        # Every floor boundary: a header one floor up, from a file of each floor.
        for floor in range(1, top):
            source = first(floor, '.h') or first(floor, '.cpp')
            header = first(floor + 1, '.h')
            if source and header:
                expect(f'{source} including {header}', planted(source, f'#include "{header}"'),
                       [source, f'"{header}"', f'{names[floor - 1]} (floor {floor})',
                        f'{names[floor]} (floor {floor + 1})'])
                cases += 1
        # The same climb spelled relative to the including file's folder.
        source = next(first(floor, '.cpp') for floor in range(1, top) if first(floor, '.cpp'))
        header = first(top, '.h')
        relative = os.path.relpath(header, os.path.dirname(source)).replace(os.sep, '/')
        expect(f'{source} including {relative}', planted(source, f'#include "{relative}"'),
               [source, f'"{relative}"', f'(floor {top})'])
        cases += 1
        # Down and sideways are allowed.
        expect(f'{first(top, ".cpp")} including {first(1, ".h")}',
               planted(first(top, '.cpp'), f'#include "{first(1, ".h")}"'), None)
        expect(f'{first(top, ".cpp")} including {first(top, ".h")}',
               planted(first(top, '.cpp'), f'#include "{first(top, ".h")}"'), None)
        # An include that names nothing, and a source file on no floor.
        expect('an include of no file', planted(source, '#include "no_such_folder/no_such_header.h"'),
               [source, 'no_such_header.h', 'no file'])
        expect('a file on no floor', planted('unplaced/stray.cpp', f'#include "{first(1, ".h")}"'),
               ['unplaced/stray.cpp', 'no floor'])
        cases += 2
        # An exception excuses its own file and header only, and one whose include is gone is reported.
        for excused, header in sorted(exceptions):
            floor = floors[excused.split('/')[0]]
            other = first(floor, '.cpp', besides=excused)
            expect(f'{other} taking the exception of {excused}', planted(other, f'#include "{header}"'),
                   [other, f'"{header}"', f'(floor {floor})', f'(floor {floors[header.split("/")[0]]})'])
            full = os.path.join(copy, excused)
            with open(full, encoding='utf-8') as text:
                original = text.read()
            with open(full, 'w', encoding='utf-8') as out:
                out.write('\n'.join(line for line in original.split('\n')
                                    if not (INCLUDE.match(line) and
                                            resolve(copy, excused, INCLUDE.match(line).group(1)) == header)))
            faults, _, _ = scan(copy)
            with open(full, 'w', encoding='utf-8') as out:
                out.write(original)
            expect(f'the exception {excused} -> {header} without its include', faults, [excused, 'remove it'])
            cases += 2
    if not failures:
        print(f'layers self-check: {cases} planted faults each reported alone, allowed includes passed')
    return failures


def main():
    args = sys.argv[1:]
    planted = bool(args) and args[0] == '--self-check'
    if planted:
        args = args[1:]
    if len(args) != 1:
        sys.exit('usage: check_layers.py [--self-check] ROOT')
    root = args[0]
    if planted:
        failures = self_check(root)
        for line in failures:
            print(line)
        return 1 if failures else 0
    faults, files, includes = scan(root)
    for line in faults:
        print(line)
    if faults:
        print(f'layers: {len(faults)} faults; the floor order and its exceptions are in {LAYERS_DOC}')
        return 1
    print(f'layers: {files} files, {includes} includes, none climbing outside {LAYERS_DOC}')
    return 0


if __name__ == '__main__':
    sys.exit(main())
