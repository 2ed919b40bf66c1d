#!/bin/sh
# Makes the test key pair of the tool folder once: testkey.x509.pem (a self-signed X.509
# certificate) and testkey.pk8 (its RSA 2048 private key, unencrypted PKCS#8 DER).
# Usage: make_testkey.sh OPENSSL BIN_DIR
set -eu
openssl=$1
dir=$2
[ -s "$dir/testkey.x509.pem" ] && [ -s "$dir/testkey.pk8" ] && exit 0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$openssl" req -x509 -newkey rsa:2048 -nodes -sha256 -days 10950 -subj "/CN=Orvex test key" \
  -keyout "$tmp/key.pem" -out "$tmp/testkey.x509.pem" 2>/dev/null
"$openssl" pkcs8 -topk8 -nocrypt -inform PEM -outform DER -in "$tmp/key.pem" -out "$tmp/testkey.pk8"
mv "$tmp/testkey.x509.pem" "$tmp/testkey.pk8" "$dir/"
