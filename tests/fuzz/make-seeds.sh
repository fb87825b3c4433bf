#!/usr/bin/env bash
# Makes the fuzz target's seed packages with the system's zip tool: plain, stored,
# streamed (data descriptors, ZIP64), non-ASCII names, a comment. Kept small on purpose.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/unpack/seeds"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p pkg/bin/lib pkg/docs
printf 'MZ\x90\x00program' > pkg/Quorvex.exe
seq 1 400 > pkg/bin/lib/numbers.txt
printf 'readme\r\n' > pkg/docs/readme.txt
export TZ=UTC LC_ALL=C.UTF-8
touch -d '2024-05-17 12:00:00' pkg/Quorvex.exe pkg/bin/lib/numbers.txt pkg/docs/readme.txt
mkdir -p "pkg/Instalação"
echo acentos > "pkg/Instalação/café.txt"
touch -d '2024-05-17 12:00:00' "pkg/Instalação/café.txt"
rm -f "$out"/*.zip
(cd pkg && zip -q -X -r "$out/tree.zip" .)
(cd pkg && zip -q -X -0 -r "$out/stored.zip" Quorvex.exe docs)
(cd pkg && seq 1 200 | zip -q -X -fz "$out/streamed-zip64.zip" -)
(cd pkg && echo "comentário" | zip -q -X -z -r "$out/comment.zip" docs)
ls -l "$out"
