#!/usr/bin/env python3
"""Compares two unpacked trees entry by entry: kind, mode, owner, size and bytes of files, link
targets, device numbers, the security.* attributes (labels, capabilities) and which files are
hard links of each other. Prints every difference; exit 1 when there is one.

    erofs_compare_trees.py TREE_A TREE_B [PATH_ONLY_IN_B...]
"""
import hashlib
import os
import stat
import sys


def facts(top):
    out = {}
    groups = {}
    for dirpath, dirnames, filenames in os.walk(top):
        for name in dirnames + filenames:
            p = os.path.join(dirpath, name)
            rel = os.path.relpath(p, top)
            st = os.lstat(p)
            f = {'mode': oct(st.st_mode), 'uid': st.st_uid, 'gid': st.st_gid}
            if stat.S_ISREG(st.st_mode):
                with open(p, 'rb') as fh:
                    f['sha'] = hashlib.sha256(fh.read()).hexdigest()
                groups.setdefault((st.st_dev, st.st_ino), []).append(rel)
            if stat.S_ISLNK(st.st_mode):
                f['target'] = os.readlink(p)
            if stat.S_ISCHR(st.st_mode) or stat.S_ISBLK(st.st_mode):
                f['rdev'] = (os.major(st.st_rdev), os.minor(st.st_rdev))
            for attr in sorted(os.listxattr(p, follow_symlinks=False)):
                f['x:' + attr] = os.getxattr(p, attr, follow_symlinks=False).hex()
            out[rel] = f
    for members in groups.values():
        for m in members:
            out[m]['links'] = sorted(members)
    return out


def main():
    a, b = facts(sys.argv[1]), facts(sys.argv[2])
    added = set(sys.argv[3:])
    bad = 0
    for rel in added:
        if rel not in b:
            print(f'{rel}: missing from the second tree')
            bad += 1
        b.pop(rel, None)
    for rel in sorted(set(a) | set(b)):
        if rel not in a or rel not in b:
            print(f'{rel}: only in {"the second" if rel not in a else "the first"} tree')
            bad += 1
        elif a[rel] != b[rel]:
            keys = sorted(k for k in set(a[rel]) | set(b[rel]) if a[rel].get(k) != b[rel].get(k))
            print(f'{rel}: ' + ', '.join(f'{k} {a[rel].get(k)} != {b[rel].get(k)}' for k in keys))
            bad += 1
    if not a:
        print('the first tree is empty')
        bad += 1
    print(f'{len(a)} entries compared, {bad} differ')
    return 1 if bad else 0


if __name__ == '__main__':
    sys.exit(main())
