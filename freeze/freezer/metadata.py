"""Distribution metadata (*.dist-info, *.egg-info): the top-level names a
distribution installs, its entry points, and the plug-ins that programs
load by name through them.
"""

import os

from .habits import SETUPTOOLS_GROUPS
from .interpreter import is_stdlib


def plugins(finder):
    """The plug-ins that programs load by name through entry points
    (pkg_resources, entrypoints): every module that the entry points of a
    shipped distribution name, and those of any distribution on the search
    path outside the standard library whose group a shipped module names
    in a string (flake8's 'flake8.extension'); console and GUI scripts are
    no plug-ins, and setuptools' own plug-ins only where setuptools ships."""
    result = set()
    shipped = set(name for name, m in finder.modules.items()
                  if '.' not in name and name != '__startup__' and m.__file__)
    for meta in distributions(d for d in finder.path if not is_stdlib(d)):
        points = os.path.join(meta, 'entry_points.txt')
        if not os.path.isfile(points):
            continue
        ours = top_names(meta) & shipped
        result.update(target.split(':')[0] for group, _, target in entry_points(points)
                      if group not in ('console_scripts', 'gui_scripts')
                      and (group not in SETUPTOOLS_GROUPS or 'setuptools' in finder.modules)
                      and (ours or group in finder.strings))
    return sorted(result)


def distributions(directories):
    """The distribution metadata directories (*.dist-info, *.egg-info) in
    `directories`, in order."""
    for directory in directories:
        if os.path.isdir(directory):
            for entry in sorted(os.listdir(directory)):
                if entry.endswith(('.dist-info', '.egg-info')):
                    yield os.path.join(directory, entry)


def entry_points(path):
    """(group, name, MODULE:ATTRIBUTE) of each entry point in an
    entry_points.txt, extras left out."""
    result = []
    group = None
    with open(path) as f:
        for line in f:
            line = line.split('#')[0].strip()
            if line.startswith('['):
                group = line.strip('[]').strip()
            elif '=' in line and group:
                name, target = line.split('=', 1)
                result.append((group, name.strip(), target.split('[')[0].strip()))
    return result


def top_names(meta):
    """The top-level modules a distribution's metadata says it installs."""
    if os.path.isdir(meta):
        top_level = os.path.join(meta, 'top_level.txt')
        if os.path.isfile(top_level):
            with open(top_level) as f:
                return set(line.strip() for line in f if line.strip())
        record = os.path.join(meta, 'RECORD')
        if os.path.isfile(record):
            with open(record) as f:
                return set(os.path.splitext(line.split(',')[0].split('/')[0])[0] for line in f)
    project = os.path.basename(meta).split('-')[0]
    return set([project, project.replace('.', '_'), project.lower().replace('.', '_')])
