#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets into DIR/<target>/ (default
# build/fuzz/seeds): certificates made by OpenSSL, a sample configuration, and
# inputs in each target's own encoding (see the comment at the top of each
# fuzz/<target>.cpp) built from what a personalised simulator card answers.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/fuzz/seeds}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"/{tlv,configuration,cachefile,objectheader,cardresponses,certificate,templates,cmapfile}

# Certificates: RSA and EC, version 3 and version 1.
openssl req -x509 -newkey rsa:1024 -nodes -keyout "$tmp/k1" -subj "/CN=Card Holder/O=Zentrik" \
  -days 30 -outform DER -out "$out/certificate/rsa-v3.der" 2>/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$tmp/k2" \
  -subj "/CN=Zentrik Test CA" -days 30 -outform DER -out "$out/certificate/ec-v3.der" 2>/dev/null
openssl req -new -key "$tmp/k1" -subj "/CN=v1" -out "$tmp/v1.csr" 2>/dev/null
openssl x509 -req -in "$tmp/v1.csr" -signkey "$tmp/k1" -days 30 -outform DER \
  -out "$out/certificate/rsa-v1.der" 2>/dev/null
# The TLV target reads a certificate with a script of enters and reads.
for der in "$out"/certificate/*.der; do
  { printf '\x00\x06\x02\x30\x02\x30\x03\xA0\x00\x02\x01\x30\x04\x30'; cat "$der"; } \
    > "$out/tlv/$(basename "$der")"
done
# LV: a key pair's metadata (identifier, public label, private label) read
# with capacities 128.
printf '\x01\x03\x01\x80\x00\x80\x00\x80\x02k1\x04fuzz\xFF' > "$out/tlv/lv-metadata"

printf 'loglevel = 1\nlogpath = /tmp/zentrik-logs\nlocale = cs\ndisablepinpad = 1\ndisablepinpaddlg=0\npkcs11.slots = 8\ncache =\n' \
  > "$out/configuration/sample.txt"
printf 'pkcs11.slots = 99999999999999999999\r\n\t cache\t=\t/var/cache/x \t\r\nnoequals\n=empty key\n' \
  > "$out/configuration/edges.txt"

python3 - "$out" <<'PY'
import struct, sys, os
out = sys.argv[1]
def w(target, name, data):
    open(os.path.join(out, target, name), 'wb').write(data)
def ok(data=b'', asked=False):
    # One card answer: status word, length (FFFF = what the command asked), data.
    return b'\x90\x00' + (b'\xff\xff' if asked else struct.pack('>H', len(data))) + data
def lv(*items):
    return b''.join(b'\xff' if i is None else bytes([len(i)]) + i for i in items)
def header(kind, size, meta, content=0, extra=b''):
    h = bytes([kind]) + struct.pack('<HHH', 0x8000, meta, content) + b'\0' * 4 + struct.pack('<HHH', 0x0101, 0x0101, 0x0101)
    return (h + extra).ljust(size, b'\0')

# Object headers: kind, header size, header, then the metadata answer.
dmeta = lv(b'lbl', b'id1', b'', b'app')
w('objectheader', 'dataobject', bytes([0, 17]) + header(1, 17, len(dmeta), 5) + ok(dmeta))
cmeta = lv(b'id1', b'label')
w('objectheader', 'certificate', bytes([1, 18]) + header(3, 18, len(cmeta), 300, b'\x01') + ok(cmeta))
kmeta = lv(b'k1', b'pub', b'priv')
kh = header(2, 27, len(kmeta))[:20] + b'\x00\x03' + b'\x03\x00\x01' + b'\x04\x00' + b'\0'
w('objectheader', 'keypair', bytes([2, 27]) + kh + ok(kmeta) + ok(b'\xc5' * 128) + ok(b'\x01\x00\x01'))
w('objectheader', 'directory', bytes([3, 27]) + header(4, 27, 0, 0, b'mscp\0\0\0\0'))
w('objectheader', 'file', bytes([4, 33]) + header(5, 33, 0, 6, b'cardcf\0\0' + b'\0' * 8))

# Card responses: every operation once against a card that answers 9000
# with the asked length (zeros), then listings with one object each.
for op in range(26):
    w('cardresponses', 'op%02d' % op, b'\x00' + bytes([op]) + ok(asked=True) * 12)
heads = ok(struct.pack('>HHHHH', 0x10, 0x8000, 0x8000, 0x8000, 0x8000))
w('cardresponses', 'list-dataobject', b'\x00\x04' + heads + ok(header(1, 17, len(dmeta), 5)) + ok(dmeta)
  + ok() + ok(b'hello'))
w('cardresponses', 'pinpad-auth', b'\x01\x0d\x01' + ok(asked=True) * 4)

# Cache files: kind, record count, records (an authentication object and a
# directory written the way the entities write themselves are left to the
# fuzzer; empty lists and short garbage are the seeds).
for kind in range(6):
    w('cachefile', 'empty%d' % kind, bytes([kind, 0]))
    w('cachefile', 'one%d' % kind, bytes([kind, 1]) + b'\x01\x00\x00\x00' * 8)

# Templates: create a data object, find by class, read attributes.
def attr(type_choice, value):
    return bytes([type_choice]) + value
def ulong_value(index): return bytes([0, index])
def raw(data): return bytes([2, len(data)]) + data
create = bytes([0, 0, 3]) + attr(0, ulong_value(0)) + attr(3, raw(b'fuzz')) + attr(5, raw(b'value'))
find = bytes([1, 0, 1]) + attr(0, ulong_value(2))
read = bytes([2, 1, 4]) + attr(8, raw(b'')) + attr(9, raw(b'')) + attr(18, raw(b'')) + attr(5, raw(b'x' * 40)) + b'\0\1\2\0'
write = bytes([3, 0, 1]) + attr(3, raw(b'renamed'))
certificate = bytes([0, 0, 3]) + attr(0, ulong_value(1)) + attr(19, raw(b'c9')) + attr(5, bytes([4, 7]))
w('templates', 'create-data', create)
w('templates', 'find', find)
w('templates', 'read', read)
w('templates', 'write', write)
w('templates', 'create-certificate', certificate)
w('templates', 'mixed', create + find + read + write)

# Container map and card cache file: a 6-byte cache file and a map of two
# records (one valid default container with a 2048-bit signature key).
name = 'ABCDEF0123456789ABCD'.encode('utf-16-le').ljust(80, b'\0')
record = name + bytes([3, 0]) + struct.pack('<HH', 2048, 0)
cmap = record + b'\0' * 86
cardcf = b'\x00\x00\x01\x00\x02\x00'
files = struct.pack('>H', len(cardcf)) + cardcf + struct.pack('>H', len(cmap)) + cmap
w('cmapfile', 'two-records', files + bytes([3, 0, 0, 5, 1, 1, 4, 1, 2, 0x81]))
w('cmapfile', 'empty-map', struct.pack('>H', 6) + cardcf + b'\0\0' + bytes([0, 1, 1, 0]))
PY
# Inputs that once failed a target stay among its seeds (fuzz/regressions/).
for dir in fuzz/regressions/*/; do
  cp "$dir"* "$out/$(basename "$dir")/"
done
echo "seeds written to $out"
