#!/usr/bin/env bash
# make-signed-installers.sh OUT_DIR
# The update tests' installers: a small PE program signed (osslsigncode,
# SHA-256) by certificates of a test authority (openssl), one file per case,
# and the store the WinVerifyTrust stand-in reads (KORVEL_WINTRUST_STORE):
#   maker.exe       the maker's publisher (kMakerPublisherName), chain and CRL good
#   unsigned.exe    no signature          tampered.exe   maker.exe with a byte changed
#   other.exe       another publisher     mixed.exe      the maker's name, another organization
#   expired.exe     the maker's, expired  revoked.exe    the maker's, revoked in the CRL
#   untrusted.exe   the maker's name from an authority the store does not hold
#   tlsonly.exe     the maker's, but for TLS servers (no code-signing usage)
#   store.pem       the test root and its CRL; store-nocrl.pem the root alone
set -eu
out=$1
publisher="KORVEL Audio Co., Ltd."
mkdir -p "$out"
cd "$out"
python3 - <<'PY'
import struct
# PE32+ for x86-64: headers in 0x200 bytes, one .text section of 64 KiB (large
# enough to arrive in several parts).
coff = struct.pack('<HHIIIHH', 0x8664, 1, 0, 0, 0, 240, 0x0022)
opt = struct.pack('<HBBIIIII', 0x20b, 14, 0, 0x10000, 0, 0, 0x1000, 0x1000)
opt += struct.pack('<QIIHHHHHHIIIIHHQQQQII', 0x140000000, 0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0,
                   0x11000, 0x200, 0, 2, 0x8160, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
opt += bytes(16 * 8)
section = b'.text\0\0\0' + struct.pack('<IIIIIIHHI', 0x10, 0x1000, 0x10000, 0x200, 0, 0, 0, 0, 0x60000020)
headers = b'MZ' + bytes(0x3a) + struct.pack('<I', 0x40) + b'PE\0\0' + coff + opt + section
code = b'\xc3KORVEL test installer\0'
open('unsigned.exe', 'wb').write(headers.ljust(0x200, b'\0') + code.ljust(0x10000, b'\0'))
PY
cat >ca.cnf <<CNF
[ca]
default_ca = test
[test]
dir = .
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
default_crl_days = 30
policy = any
unique_subject = no
[any]
commonName = supplied
organizationName = optional
[signer]
basicConstraints = critical,CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
crlDistributionPoints = URI:http://crl.invalid/korvel-test-root.crl
[tls]
basicConstraints = critical,CA:false
extendedKeyUsage = serverAuth
crlDistributionPoints = URI:http://crl.invalid/korvel-test-root.crl
CNF
: >index.txt
echo 1000 >serial
ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
openssl req -x509 "${ec[@]}" -keyout root.key -out root.pem -days 3650 -subj "/CN=KORVEL Test Root" \
  -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
# issue NAME SUBJECT EXTENSIONS [openssl ca options]
issue() {
  openssl req -new "${ec[@]}" -keyout "$1.key" -out "$1.csr" -subj "$2" 2>/dev/null
  openssl ca -batch -config ca.cnf -cert root.pem -keyfile root.key -in "$1.csr" -out "$1.pem" \
    -extensions "$3" "${@:4}" 2>/dev/null
}
issue maker "/CN=$publisher/O=$publisher" signer -days 30
issue other "/CN=Other Publisher Ltd/O=Other Publisher Ltd" signer -days 30
issue mixed "/CN=$publisher/O=Other Publisher Ltd" signer -days 30
issue expired "/CN=$publisher/O=$publisher" signer -startdate 20200101000000Z -enddate 20200201000000Z
issue revoked "/CN=$publisher/O=$publisher" signer -days 30
issue tlsonly "/CN=$publisher/O=$publisher" tls -days 30
openssl ca -batch -config ca.cnf -cert root.pem -keyfile root.key -revoke revoked.pem 2>/dev/null
openssl ca -batch -config ca.cnf -cert root.pem -keyfile root.key -gencrl -out root.crl 2>/dev/null
openssl req -x509 "${ec[@]}" -keyout untrusted.key -out untrusted.pem -days 30 -subj "/CN=$publisher/O=$publisher" \
  -addext "extendedKeyUsage=codeSigning" 2>/dev/null
for name in maker other mixed expired revoked tlsonly untrusted; do
  osslsigncode sign -certs "$name.pem" -key "$name.key" -h sha256 -in unsigned.exe -out "$name.exe" >/dev/null
done
cp maker.exe tampered.exe
printf 'X' | dd of=tampered.exe bs=1 seek=$((0x201)) conv=notrunc 2>/dev/null
cat root.pem root.crl >store.pem
cp root.pem store-nocrl.pem
