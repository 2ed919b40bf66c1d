#!/usr/bin/env python3
"""Copies a tree unpacked on Linux into the form an unpack on Windows leaves: links become files
holding their target, device nodes, fifos and sockets empty files, names NTFS cannot hold are
stored escaped (forbidden bytes and '%' as %XX, a device name with its first letter escaped, a
name that folds onto an earlier one of its folder with "~2" before its extension), hard links
stay hard links; everything changed goes into the entries list (tab-separated, CR LF).

    erofs_windows_tree.py LINUX_TREE WINDOWS_TREE ENTRIES_LIST
"""
import os
import stat
import sys

FORBIDDEN = set('<>:"|?*\\')
DEVICES = {'CON', 'PRN', 'AUX', 'NUL'} | {f'COM{i}' for i in range(1, 10)} | {f'LPT{i}' for i in range(1, 10)}


def escape(name):
    def bad(ch):
        return ch in FORBIDDEN or ord(ch) < 32
    if any(bad(c) for c in name) or name.endswith(('.', ' ')):
        out = ''.join(''.join(f'%{b:02X}' for b in c.encode()) if bad(c) or c == '%' else c for c in name)
        if out.endswith(('.', ' ')):
            out = out[:-1] + f'%{ord(out[-1]):02X}'
        return out
    if name.split('.')[0].upper() in DEVICES:
        return f'%{ord(name[0]):02X}' + name[1:]
    return name


def main():
    src, dst, listfile = sys.argv[1:4]
    lines = []
    first_of = {}  # (dev, ino) -> stored copy, for hard links

    def walk(src_dir, dst_dir, orig_rel, stored_rel):
        os.makedirs(dst_dir, exist_ok=True)
        taken = set()
        for name in sorted(os.listdir(src_dir)):
            stored = escape(name)
            if stored.lower() in taken:
                base, dot, ext = stored.rpartition('.')
                if not dot:
                    base, ext = stored, ''
                n = 2
                while True:
                    cand = f'{base}~{n}' + (f'.{ext}' if dot else '')
                    if cand.lower() not in taken:
                        stored = cand
                        break
                    n += 1
            taken.add(stored.lower())
            o_rel = f'{orig_rel}/{name}' if orig_rel else name
            s_rel = f'{stored_rel}/{stored}' if stored_rel else stored
            if stored != name:
                lines.append(f'name\t{s_rel}\t{o_rel}')
            s_path = os.path.join(src_dir, name)
            d_path = os.path.join(dst_dir, stored)
            st = os.lstat(s_path)
            if stat.S_ISDIR(st.st_mode):
                walk(s_path, d_path, o_rel, s_rel)
            elif stat.S_ISLNK(st.st_mode):
                with open(d_path, 'wb') as f:
                    f.write(os.fsencode(os.readlink(s_path)))
                lines.append(f'link\t{s_rel}\t{os.readlink(s_path)}')
            elif stat.S_ISCHR(st.st_mode) or stat.S_ISBLK(st.st_mode):
                open(d_path, 'wb').close()
                kind = 'char' if stat.S_ISCHR(st.st_mode) else 'block'
                lines.append(f'{kind}\t{s_rel}\t{os.major(st.st_rdev)}\t{os.minor(st.st_rdev)}')
            elif stat.S_ISFIFO(st.st_mode) or stat.S_ISSOCK(st.st_mode):
                open(d_path, 'wb').close()
                lines.append(f'{"fifo" if stat.S_ISFIFO(st.st_mode) else "socket"}\t{s_rel}')
            else:
                key = (st.st_dev, st.st_ino)
                if st.st_nlink > 1 and key in first_of:
                    os.link(first_of[key], d_path)
                else:
                    with open(s_path, 'rb') as i, open(d_path, 'wb') as o:
                        o.write(i.read())
                    first_of[key] = d_path
            # NTFS keeps neither owners nor modes: the tree's own say nothing.
            if os.path.isfile(d_path) and not os.path.islink(d_path):
                os.chmod(d_path, 0o644)

    walk(src, dst, '', '')
    os.makedirs(os.path.dirname(listfile), exist_ok=True)
    with open(listfile, 'wb') as f:
        f.write(''.join(l + '\r\n' for l in lines).encode())


if __name__ == '__main__':
    main()
