#!/usr/bin/env bash
# Makes a throw-away code-signing PKI in DIR, for the signing tests only:
#   ca.pem ca.key               a code-signing root that nothing else trusts
#   publisher.pem/.key          issued by it for code signing
#   publisher.p12               the publisher's certificate, its chain and key, protected by
#   password                    this password (first line; spaces and quotes on purpose)
#   tsa-ca.pem tsa-ca.key       a separate root for the time-stamp authority
#   tsa.pem tsa.key tsa.cnf     the time-stamp authority's certificate, key and openssl ts settings
# Every run makes new keys: nothing here is ever worth keeping.
set -euo pipefail
DIR=${1:?usage: make-signing-pki.sh DIR}
rm -rf "$DIR"
mkdir -p "$DIR"
cd "$DIR"
umask 077

root() {  # name subject
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 30 -sha256 -subj "/CN=$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -addext "subjectKeyIdentifier=hash" 2>/dev/null
}

leaf() {  # ca name subject eku
  openssl req -newkey rsa:2048 -nodes -keyout "$2.key" -out "$2.csr" -subj "$3" 2>/dev/null
  printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
    "extendedKeyUsage=$4" "subjectKeyIdentifier=hash" "authorityKeyIdentifier=keyid" >"$2.ext"
  openssl x509 -req -in "$2.csr" -CA "$1.pem" -CAkey "$1.key" -set_serial "0x$(openssl rand -hex 12)" \
    -days 30 -sha256 -extfile "$2.ext" -out "$2.pem" 2>/dev/null
  rm -f "$2.csr" "$2.ext"
}

root ca "Throw-away code-signing root"
leaf ca publisher "/CN=Quorvex test publisher/O=Quorvex test publisher/C=BR" codeSigning
printf '%s\n' "s3cret pass 'with' \"quotes\" \$HOME" >password
openssl pkcs12 -export -inkey publisher.key -in publisher.pem -certfile ca.pem -passout file:password \
  -name "Quorvex test publisher" -out publisher.p12

root tsa-ca "Throw-away time-stamp root"
leaf tsa-ca tsa "/CN=Throw-away time-stamp authority" "critical,timeStamping"
echo 01 >tsa.serial
cat >tsa.cnf <<CNF
[tsa]
default_tsa = tsa_config
[tsa_config]
dir = $PWD
serial = \$dir/tsa.serial
crypto_device = builtin
signer_cert = \$dir/tsa.pem
certs = \$dir/tsa.pem
signer_key = \$dir/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
CNF
chmod a+r ./*.pem
