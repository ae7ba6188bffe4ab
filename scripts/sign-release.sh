#!/usr/bin/env bash
# Signs buttonguard.exe or its MSI with Authenticode (SHA-256) using Debian's osslsigncode,
# for release managers: an elevated tool from an unknown publisher gets the platform's
# harshest elevation prompt and is blocked outright by application-control policies on
# managed fleets.
#
# Usage: BUTTONGUARD_SIGNING_PASSWORD=... scripts/sign-release.sh CERTIFICATE.p12
#            UNSIGNED.exe|UNSIGNED.msi SIGNED.exe|SIGNED.msi [TIME_STAMP_URL]
#
# The PKCS#12 file holds the code-signing certificate, its chain and its private key. Its
# password comes from the environment, never from the command line, where every user of the
# machine could read it in the process list; it reaches osslsigncode through a pipe. With a
# time-stamp server (RFC 3161), the signature stays valid after the certificate expires.
set -euo pipefail

if [ $# -lt 3 ] || [ $# -gt 4 ]; then
  sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
certificate=$1 unsigned=$2 signed=$3
if [ -z "${BUTTONGUARD_SIGNING_PASSWORD+set}" ]; then
  echo "sign-release.sh: set BUTTONGUARD_SIGNING_PASSWORD to the password of $certificate" >&2
  exit 2
fi
if ! command -v osslsigncode > /dev/null; then
  echo "sign-release.sh: osslsigncode is missing (Debian: apt-get install osslsigncode)" >&2
  exit 2
fi
if [ "$unsigned" -ef "$signed" ]; then
  echo "sign-release.sh: write the signed file beside the unsigned one, not over it" >&2
  exit 2
fi

time_stamp=()
if [ $# -eq 4 ]; then time_stamp=(-ts "$4"); fi

# printf is the shell's own, so the password never appears in any process's arguments.
osslsigncode sign -pkcs12 "$certificate" \
  -readpass <(printf '%s' "$BUTTONGUARD_SIGNING_PASSWORD") \
  -h sha256 -n "buttonguard" "${time_stamp[@]}" -in "$unsigned" -out "$signed"
echo "signed: $signed"
