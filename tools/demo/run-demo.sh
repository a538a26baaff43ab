#!/usr/bin/env bash
# The demo: install the release image in a fresh simulated machine and show what happened.
set -euo pipefail
build=${1:-build/host}
cd "$(dirname "$0")/../.."

machine=$build/demo/machine
rm -rf "$build/demo"
mkdir -p "$machine/C/Users/Demo/Downloads"
image='C:\Users\Demo\Downloads\installer.exe'
# The signed demo image (tools/image/make-installer): a 7z archive under "B7" and the
# setup stand-in under "BN".
release_image=$build/release/demo/installer.exe
cp "$release_image" "$machine/C/Users/Demo/Downloads/installer.exe"

echo "== Release image: $release_image"
llvm-readobj --file-headers "$release_image" | grep -E '^\s*(Machine|Subsystem|AddressOfEntryPoint):' | sed 's/^ */   /'
echo "   imports: $(llvm-readobj --coff-imports "$release_image" | sed -n 's/^ *Name: \(.*\.dll\)$/\1/p' | tr '\n' ' ')"
echo "   resources: $(llvm-readobj --coff-resources "$release_image" | sed -n 's/^ *Type: \(.*\) \[$/\1/p' | tr '\n' ',' | sed 's/,$//; s/,/, /g')"
echo "   signature: $(osslsigncode verify -CAfile "$build/release/demo/signing-cert.pem" -in "$release_image" 2>&1 | grep -E '^Signature verification' || echo 'not verified')"

pending=$(ls stub/*/placeholder.cpp 2>/dev/null | sed 's#stub/\([a-z]*\)/placeholder.cpp#\1#' | tr '\n' ' ')
if [ -n "$pending" ]; then
  echo "== Not built yet (placeholders that fail with their step's own code): $pending"
fi

echo "== Running $image in the simulated Windows (machine root $machine)"
set +e
"$build/winsim" run --root "$machine" --image "$image" --command-line "\"$image\"" \
  --trace "$build/demo/trace.txt" --accounting "$build/demo/accounting.txt" --print-exit-code \
  "$build/installer_host"
status=$?
set -e
echo "   winsim exit status: $status"
echo "== What the stub called (trace: $build/demo/trace.txt)"
sed 's/^\[[0-9]*\] /   /' "$build/demo/trace.txt"
echo "== Accounting at exit"
sed 's/^/   /' "$build/demo/accounting.txt"
echo "== Left behind in C:\\Users\\Demo\\Downloads"
ls -la "$machine/C/Users/Demo/Downloads" | sed 's/^/   /'
