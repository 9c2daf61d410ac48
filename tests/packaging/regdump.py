#!/usr/bin/env python3
# Turns a regedit export (UTF-16 with continued lines) into one sorted line per
# key and per value, so that two states of a registry compare line by line.
import sys

def lines(path):
    text = open(path, 'rb').read().decode('utf-16')
    joined = []
    for line in text.splitlines():
        if joined and joined[-1].endswith('\\') and line.startswith('  '):
            joined[-1] = joined[-1][:-1] + line.strip()
        else:
            joined.append(line)
    key = None
    for line in joined:
        if line.startswith('[') and line.endswith(']'):
            key = line[1:-1]
            yield key
        elif key and line and not line.startswith('#') and not line.startswith('REGEDIT'):
            yield key + ' :: ' + line

out = sorted(set(l for path in sys.argv[1:] for l in lines(path)))
sys.stdout.write('\n'.join(out) + '\n')
