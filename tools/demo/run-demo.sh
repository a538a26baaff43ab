#!/usr/bin/env bash
# The demo: install the signed demo release image in a fresh simulated machine and show
# what happened: the exit code, the work directory's life (from the trace), the command
# line setup received (from the setup stand-in's record) and what was left behind.
set -euo pipefail
build=${1:-build/host}
cd "$(dirname "$0")/../.."

demo=$build/demo
machine=$demo/machine
rm -rf "$demo"
mkdir -p "$machine/C/Users/Demo/Downloads"
image='C:\Users\Demo\Downloads\installer.exe'
# The signed demo image (cmake/ReleaseImage.cmake, tools/image/make-installer), laid out
# as the release payload is: a 7z archive under "B7" and the setup stand-in
# (tools/standins/setup_standin) as a cabinet under "BL".
release_image=$build/release/demo/installer.exe
cp "$release_image" "$machine/C/Users/Demo/Downloads/installer.exe"

echo "== Release image: $release_image"
llvm-readobj --file-headers "$release_image" | grep -E '^\s*(Machine|Subsystem|AddressOfEntryPoint):' | sed 's/^ */   /'
echo "   imports: $(llvm-readobj --coff-imports "$release_image" | sed -n 's/^ *Name: \(.*\.dll\)$/\1/p' | tr '\n' ' ')"
echo "   resources: $(llvm-readobj --coff-resources "$release_image" | sed -n 's/^ *Type: \(.*\) \[$/\1/p' | tr '\n' ',' | sed 's/,$//; s/,/, /g')"
echo "   signature: $(osslsigncode verify -CAfile "$build/release/demo/signing-cert.pem" -in "$release_image" 2>&1 | grep -E '^Signature verification' || echo 'not verified')"

echo "== Running $image in the simulated Windows (machine root $machine)"
set +e
"$build/winsim" run --root "$machine" --image "$image" --command-line "\"$image\"" \
  --trace "$demo/trace.txt" --accounting "$demo/accounting.txt" --print-exit-code \
  "$build/installer_host" | sed 's/^/   /'
status=${PIPESTATUS[0]}
set -e
echo "   (winsim's own exit status is the exit code's low byte: $status)"

echo "== The work directory's life (from the trace, $demo/trace.txt)"
# Every call that made, wrote, expanded, ran or removed something in the work directory,
# one line per call, in order; the number in brackets tells the stub from setup.
grep -E '^(\[[0-9]+\] )?(CreateDirectoryW|CreateFileW|SetFileInformationByHandle|CreateProcessW|RemoveDirectoryW|DeleteFileW|FDICopy|LoadLibrary[A-Z]*|ExitProcess)\(' \
  "$demo/trace.txt" | grep -E 'TS_|FDICopy|LoadLibrary|ExitProcess|SetFileInformationByHandle' |
  sed 's/^/   /' | cut -c1-220

echo "== What setup received (from the setup stand-in's record, C:\\StandIns\\runs.txt)"
record=$machine/C/StandIns/runs.txt
if [ -f "$record" ]; then
  sed -n 's/^\(run\|command_line\|creation_flags\|archive\|beside\|exit_code\) /\1: /p' "$record" | sed 's/^/   /'
else
  echo "   setup did not run"
fi

echo "== Accounting of the stub at exit"
sed 's/^/   /' "$demo/accounting.txt"
echo "== Left behind in C:\\Users\\Demo\\Downloads"
(cd "$machine/C/Users/Demo/Downloads" && find . -mindepth 1 | sed 's#^\./#   #')

# The same payload, installed by the release image's own ARM64 code under Wine (through
# qemu-user): the setup stand-in inside is the ARM64 build, so no host code runs inside.
echo "== The demo image under Wine (wine64:arm64): $build/release/demo-wine/installer.exe"
mkdir -p "$build/wine"
wine_dir=$(cd "$build/wine" && pwd)  # Wine takes only an absolute prefix
tools/wine/wine-prefix.sh start "$wine_dir"
wine_status=$(cat "$wine_dir/status")
if [ "$wine_status" != ok ]; then
  echo "   skipped: $wine_status"
  exit 0
fi
drive=$wine_dir/prefix/drive_c
downloads=$drive/users/Demo/Downloads
rm -rf "$downloads" "$drive/StandIns/runs.txt"
mkdir -p "$downloads" "$drive/StandIns" "$drive/PelloraTest"
cp "$build/release/demo-wine/installer.exe" "$downloads/installer.exe"
cp "$build/release/exit_code_parent.exe" "$drive/PelloraTest/exit_code_parent.exe"
# exit_code_parent.exe starts the image with this exact command line and writes its whole
# 32-bit exit code (a host process status keeps 8 bits).
printf '%s\n%s\n' "$image" "\"$image\"" >"$drive/PelloraTest/demo-job.txt"
echo "   running \"$image\" with setup told to end with exit code 7"
started=$(date +%s%N)
PELLORA_SETUP_EXIT_CODE=7 WINEPREFIX=$wine_dir/prefix TMPDIR=$wine_dir/tmp WINEDEBUG=-all DISPLAY= \
  /usr/lib/wine/wine64 'C:\PelloraTest\exit_code_parent.exe' 'C:\PelloraTest\demo-job.txt' >"$wine_dir/demo.log" 2>&1 || true
echo "   took $(( ($(date +%s%N) - started) / 1000000 )) ms"
result=$(cat "$drive/PelloraTest/demo-job.txt.exit" 2>/dev/null || echo "no result (Wine said: $(tail -3 "$wine_dir/demo.log"))")
echo "   exit code seen by the ARM64 parent: ${result#exit_code }"
echo "== What setup received under Wine (C:\\StandIns\\runs.txt)"
if [ -f "$drive/StandIns/runs.txt" ]; then
  sed -n 's/^\(run\|command_line\|module\|archive\|exit_code\) /\1: /p' "$drive/StandIns/runs.txt" | sed 's/^/   /'
else
  echo "   setup did not run"
fi
echo "== Left behind in C:\\Users\\Demo\\Downloads under Wine"
(cd "$downloads" && find . -mindepth 1 | sed 's#^\./#   #')
tools/wine/wine-prefix.sh stop "$wine_dir"
