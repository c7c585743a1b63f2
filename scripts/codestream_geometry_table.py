#!/usr/bin/env python3
"""Prints the expected main-header geometry of every conformance codestream, as read by an
independent black-box tool (opj_dump from libopenjp2-tools), in the row format of the table in
tests/test_codestream_corpus.cpp. Usage: scripts/codestream_geometry_table.py [corpus-dir]"""
import glob
import os
import re
import subprocess
import sys

corpus = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
    os.path.dirname(__file__), '..', '..', 'shared', 'corpus', 'conformance')
files = sorted(glob.glob(os.path.join(corpus, '*.j2k')) + glob.glob(os.path.join(corpus, '*.j2c')))
for path in files:
    text = subprocess.run(['opj_dump', '-i', path], capture_output=True, text=True).stdout
    num = lambda pattern: tuple(int(v) for v in re.search(pattern, text).groups())
    x0, y0 = num(r'x0=(\d+), y0=(\d+)')
    x1, y1 = num(r'x1=(\d+), y1=(\d+)')
    tx0, ty0 = num(r'tx0=(\d+), ty0=(\d+)')
    tdx, tdy = num(r'tdx=(\d+), tdy=(\d+)')
    tw, th = num(r'tw=(\d+), th=(\d+)')
    (nc,) = num(r'numcomps=(\d+)')
    (layers,) = num(r'numlayers=(\d+)')
    (res,) = num(r'numresolutions=(\d+)')
    comps = re.findall(r'dx=(\d+), dy=(\d+)\s+prec=(\d+)\s+sgnd=(\d+)', text)
    # Components beyond the first four are checked only for being like the last one listed.
    shown = ', '.join('{%s, %s, %s, %s}' % c for c in comps[:4])
    print('    {"%s", %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, %d, {%s}},' %
          (os.path.basename(path), x0, y0, x1, y1, tx0, ty0, tdx, tdy, tw * th, nc, layers,
           res - 1, len(set(comps[3:])) <= 1, shown))
