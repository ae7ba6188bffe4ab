#!/usr/bin/env bash
# scripts/sign-release.sh with a throwaway self-signed certificate: osslsigncode accepts the
# signatures of the executable and of the MSI against that certificate, the signed
# buttonguard.exe still blocks under Wine, and a signed file with one byte changed is refused. Exit status 77 (a skip) when a tool or the
# build is missing, 1 then under CI=true.
#
# Usage: sign_release_test.sh WINDOWS_BUILD_DIR WINE_PREFIX
source "$(dirname "$0")/release_test_common.sh" "$@"
require_tools osslsigncode openssl wine
[ -f "$build/buttonguard.exe" ] || skip "$build/buttonguard.exe is missing: build its preset"

password="not on any command line $RANDOM"
export BUTTONGUARD_SIGNING_PASSWORD=$password PASSWORD_FOR_OPENSSL=$password
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=buttonguard test signer" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" 2> /dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/signer.p12" \
  -passout env:PASSWORD_FOR_OPENSSL

"$source_dir/scripts/sign-release.sh" "$work/signer.p12" "$build/buttonguard.exe" \
  "$work/buttonguard.exe" || fail "signing failed"
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/buttonguard.exe" > "$work/verify.log" 2>&1 ||
  { cat "$work/verify.log"; fail "the signature was not accepted"; }
grep -q "Signature verification: ok" "$work/verify.log" || fail "no verification verdict"

msi=$(ls "$build"/buttonguard-*.msi 2> /dev/null | head -n 1) || true
[ -n "$msi" ] || skip "no MSI in $build: build its preset with wixl and msitools installed"
"$source_dir/scripts/sign-release.sh" "$work/signer.p12" "$msi" "$work/signed.msi" ||
  fail "signing the MSI failed"
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/signed.msi" > "$work/verify-msi.log" 2>&1 ||
  { cat "$work/verify-msi.log"; fail "the MSI's signature was not accepted"; }
grep -q "Signature verification: ok" "$work/verify-msi.log" || fail "no verdict on the MSI"

# The signature does not cover the signature itself, so the byte changed is one it covers:
# the first byte of the code.
cp "$work/buttonguard.exe" "$work/tampered.exe"
printf '\x90' | dd of="$work/tampered.exe" bs=1 seek=1024 conv=notrunc 2> /dev/null
cmp -s "$work/buttonguard.exe" "$work/tampered.exe" && fail "the byte was not changed"
if osslsigncode verify -CAfile "$work/cert.pem" -in "$work/tampered.exe" > "$work/tampered.log" 2>&1; then
  cat "$work/tampered.log"
  fail "a changed file was accepted"
fi

# The signed file under Wine, with the simulated store as the system's powrprof.dll.
export WINEPREFIX=$prefix WINEDEBUG=-all
if [ ! -f "$prefix/drive_c/windows/system32/kernel32.dll" ]; then
  WINEDLLOVERRIDES="mscoree,mshtml=" wine wineboot --init > "$work/wineboot.log" 2>&1
fi
cp "$build/system32/powrprof.dll" "$prefix/drive_c/windows/system32/powrprof.dll"
status=0
# Into files, not this script's pipes: Wine's server and services outlive the run.
WINEDLLOVERRIDES=powrprof=n BUTTONGUARD_STORE="Z:${work//\//\\}\\power-scheme" \
  wine "$work/buttonguard.exe" block > "$work/report" 2> "$work/errors" || status=$?
printf 'block\r\n0\r\n1\r\n2\r\n1, 1, 1, 1, 1, 1\r\n00111111\r\n' > "$work/expected"
cmp -s "$work/report" "$work/expected" ||
  { od -c "$work/report"; cat "$work/errors"; fail "the signed file's report"; }
# Wine cuts the exit status to 8 bits: 0x111111 arrives as 0x11.
[ "$status" -eq 17 ] || fail "exit status $status"
grep -q "power-button 0 0" "$work/power-scheme" || fail "the store was not blocked"
echo "signed (the executable and the MSI), verified, refused when changed, and blocks under Wine"
