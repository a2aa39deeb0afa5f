#!/bin/sh
# Writes the container fuzz target's seeds into container_corpus/: small pairs
# made into containers by varnock-diff -z (the build's, given as $1), in the
# target's layout (flags 1, then the source's length, the source, the container).
# The small executables of tests/unit/data/exe and their newer versions make
# containers that predict (those of the kinds where it pays), so that mutations
# reach the prediction's decoding.
set -eu
maker=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$here/container_corpus"
seed() {
  name=$1
  "$maker" -q -f -z "$work/source" "$work/target" "$work/patch"
  python3 - "$work/source" "$work/patch" "$here/container_corpus/seed-$name" <<'PY'
import struct, sys
source = open(sys.argv[1], "rb").read()
patch = open(sys.argv[2], "rb").read()
open(sys.argv[3], "wb").write(bytes([1]) + struct.pack("<I", len(source)) + source + patch)
PY
}
head -c 3000 /dev/urandom > "$work/source"
{ head -c 1000 "$work/source"; printf 'inserted'; tail -c 1500 "$work/source"; } > "$work/target"
seed edited
python3 -c "import sys; b=bytearray(open(sys.argv[1],'rb').read()); b[::7]=bytes((x+1)&255 for x in b[::7]); open(sys.argv[2],'wb').write(b)" "$work/source" "$work/target"
seed near-match
: > "$work/source"; printf 'all new' > "$work/target"
seed empty-source
cp "$work/target" "$work/source"
seed identical
exe=$here/../unit/data/exe
for kind in i386.so aarch64.so arm.so i386.dll x86_64.dll; do
  cp "$exe/$kind" "$work/source"
  cp "$exe/${kind%.*}-newer.${kind##*.}" "$work/target"
  seed "exe-$kind"
done
