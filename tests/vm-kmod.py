#!/usr/bin/env python3
"""The host's side of tests/vm-kmod.sh: the VMs' sections checked against the
case table, each other, smartctl, hdparm and sysfs; the kernel logs; the disk
images.  Usage: vm-kmod.py WORK DISKS CASES; ends with "N passed, N failed"."""
import re
import sys

work, disks, table = sys.argv[1], sys.argv[2].splitlines(), sys.argv[3].splitlines()
cases = [row.split('|', 1) for row in table]
P5, SECTOR = 4096, 512
results = []


def check(what, ok, detail=''):
    results.append(bool(ok))
    if not ok:
        print(f'FAIL {what}' + (f'\n{detail}' if detail else ''))


def sections(arch):
    """(command, output, status) of each case the VM ran, in order"""
    try:
        text = open(f'{work}/{arch}', errors='replace').read()
    except OSError:
        return None
    found = re.findall(r'^=== ([^\n]*)\n(.*?)\nstatus (\d+)$', text, re.M | re.S)
    return [(c, out, int(st)) for c, out, st in found]


def flat(out):
    return ' '.join(out.split())


def identify_words(out, swap):
    """the dump's words; swap: the texts' words byte-swapped (read in the other byte order)"""
    words = [w[2:] for line in out.splitlines() if line.startswith('id[') for w in line.split()[1:]]
    return [w[2:] + w[:2] if swap and (10 <= k < 20 or 23 <= k < 47) else w for k, w in enumerate(words)]


runs = {a: sections(a) for a in ('x86_64', 'ppc')}
runs = {a: s for a, s in runs.items() if s is not None}
x86 = runs.get('x86_64') or []
for arch, got in runs.items():  # every case a section, in the table's order
    want = [c for c, _ in cases if arch == 'x86_64' or not c.startswith('x86_64 ')]
    check(f'{arch}: the cases run', [c for c, _, _ in got] == want,
          f'ran {len(got)} of {len(want)}; the console\'s end:\n' + '\n'.join(open(f'{work}/{arch}').read().splitlines()[-30:]))
ran = {a: iter(s) for a, s in runs.items()}
for c, want in cases:
    outs = {a: next(ran[a], ('', '', 0)) for a in runs if a == 'x86_64' or not c.startswith('x86_64 ')}
    outs = {a: o for a, o in outs.items() if o[0] == c}
    bad = [f'{a}: status {st}\n{out}' for a, (_, out, st) in outs.items()
           if st != 0 or (want != '-' and flat(out) != want)]
    if ('ostrautil' in c or c.startswith('cat /tmp')) and len(outs) == 2:
        ppc = outs['ppc'][1]
        if 'identify' in c:  # texts: byte strings read as words in the other byte order
            ppc = ' '.join(identify_words(ppc, True)) if ppc else ppc
            bad += [] if ' '.join(identify_words(outs['x86_64'][1], False)) == ppc else ['the kernels differ']
        elif outs['x86_64'][1] != ppc:
            bad.append(f'the kernels differ:\n{outs["x86_64"][1]}--- ppc\n{ppc}')
    check(c, not bad and outs, (f'want: {want}\n' if want != '-' else '') + '\n'.join(bad))


def out(command, n=0):
    return [o for c, o, _ in x86 if c == command][n] if any(c == command for c, _, _ in x86) else ''


for d, k in (('sda', 0), ('sdb', 1)):  # x86_64: the program's reports beside smartctl, hdparm, sysfs
    info = dict(re.findall(r'^(Device Model|Serial Number): +(.*)$', out(f'x86_64 smartctl -d sat -i /dev/{d}'), re.M))
    check(f'{d} 53: smartctl -i', f'Model={info.get("Device Model")}, SerialNo={info.get("Serial Number")}'
          in out('ostrautil 53 any').splitlines())
    mine = [(int(f[5]), '0x' + f[3][18:22].lower(), int(f[6]), int(f[8]), int(f[7]), int(f[9], 16))
            for f in (line.split(',') for line in out('cat /tmp/ostra_smart.info').splitlines()[1:])
            if int(f[1]) == k and f[5] != '000']
    theirs = [(int(f[0]), f[2], int(f[3]), int(f[4]), int(f[5]), int(f[9]))
              for f in (line.split() for line in out(f'x86_64 smartctl -d sat -A $(raw48) /dev/{d}').splitlines())
              if f and f[0].isdigit()]
    check(f'{d} 51: smartctl -A', mine == theirs and mine, f'{mine}\n{theirs}')
    if k == 0:  # the first drive's model text (GET_IDENTDATA) resolved to its maker
        check('51: maker and model', out('cat /tmp/ostra_smart.info').startswith('WesternDigital,WD1600AAJS-22WAA0,'))
    hd = [w for line in out(f'x86_64 hdparm --Istdout /dev/{d}').splitlines() if ':' not in line for w in line.split()]
    words = identify_words(out(f'ostrautil identify /dev/{d}'), False)
    check(f'{d} identify: hdparm', len(words) == 256 and words == identify_words(
        ''.join(f'id[] {" ".join("0x" + w for w in hd[j:j + 8])}\n' for j in range(0, len(hd), 8)), True))
    rate = re.search(r'Rotation Rate: *(.*)', out(f'x86_64 hdparm -I /dev/{d}'))
    check(f'{d} rotational: hdparm', rate and (rate[1] == 'Solid State Device') == (out(f'ostrautil rotational {d}') == '0'))
    bounds = out('x86_64 cat /sys/block/sda/sda5/start /sys/block/sda/sda5/size /sys/block/sdb/sdb5/start '
                 '/sys/block/sdb/sdb5/size').split()
    s, n = (int(x) for x in bounds[2 * k:2 * k + 2]) if len(bounds) == 4 else (0, 0)
    check(f'{d} pp: sysfs', [int(x, 16) for x in re.findall(r'sector = 0x(\w+)', out(f'ostrautil pp {d}5 50'))]
          == [s - 1, s, s + n // 2, s - 1 + 50 * (n // 100), s + 50 * (n // 100), s + n - 1, s + n])

for arch, got in runs.items():  # the disks unchanged without destructive; the kernel's log
    sums = [o for c, o, _ in got if c == 'sums']
    check(f'{arch}: nothing written without destructive', len(sums) == 2 and sums[0] == sums[1] and sums[0])
    log = ''.join(o for c, o, _ in got if c.startswith('dmesg'))
    log = log[log.find('ztostra'):] if 'ztostra' in log else ''  # from the driver's first line on
    bad = [line for line in log.splitlines() if re.match(r'<[0-3]>', line) or re.search(
        r'WARNING|BUG|Oops|Call Trace|cut here|general protection|UBSAN|blocked for more than|corruption', line)]
    check(f'{arch}: no kernel error, warning, BUG or oops', log and not bad, '\n'.join(bad))
    want = ['sdc: overwrite done: 12288 sectors', 'security erase refused: a rotating drive',
            'security erase refused: no security feature set', 'sdc: WRITE UNCORRECTABLE EXT of sectors 0-0 refused',
            'sdc: WRITE UNCORRECTABLE EXT of sectors 8192-8192 refused', 'sdc: ZTOSTRA_ISUEE_OWFUNC refused'] + (
        ['an overwrite stopped after'] if arch == 'x86_64' else [])
    check(f'{arch}: the kernel log says what was done and refused', all(w in log for w in want),
          '\n'.join(w for w in want if w not in log))

image = {n: open(f'{work}/{n}', 'rb').read() for n in ('sda.orig', 'sda.img', 'sdb.orig', 'sdb.img', 'sdd.img')}
p5 = slice(P5 * SECTOR, 2 * P5 * SECTOR)
outside = image['sda.orig'][:p5.start] + image['sda.orig'][p5.stop:]
check('sdd (ostrasim, SG_IO): only partition 5 changed, to the last pass\'s pattern',
      image['sdd.img'][p5] == bytes.fromhex('abcd') * (P5 * SECTOR // 2)
      and image['sdd.img'][:p5.start] + image['sdd.img'][p5.stop:] == outside)
for name in ('sdc.x86_64', 'sdc.img') if 'ppc' in runs else ('sdc.x86_64',):
    check(f'{name}: equal to sdd, byte for byte', open(f'{work}/{name}', 'rb').read() == image['sdd.img'])
check('sda, sdb: never written', image['sda.img'] == image['sda.orig'] and image['sdb.img'] == image['sdb.orig'])
print(f'{results.count(True)} passed, {results.count(False)} failed' + (', 1 skipped' if 'ppc' not in runs else ''))
sys.exit(1 if False in results else 0)
