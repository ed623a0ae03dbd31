#!/usr/bin/env bash
# Makes the certificates the TLS tests use, in DIR (which must exist), with
# openssl: nothing of them is kept in the tree.
#   ca.pem ca.key                 a test CA
#   server.pem server.key         for 127.0.0.1 and localhost, by the CA
#   server2.pem server2.key       the same names, another key (a rotation)
#   client.pem client.key         a client certificate by the CA
#   other.key                     a key that matches no certificate
#   expired.pem expired.key       for 127.0.0.1, expired in 2020
#   chain.pem                     server.pem followed by ca.pem
# Usage: make_test_certs.sh DIR
set -euo pipefail
dir=$1
cd "$dir"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
key ca.key
openssl req -x509 -new -key ca.key -subj /CN=daqevstat-test-ca -days 2 -out ca.pem \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' >server.ext
printf 'extendedKeyUsage=clientAuth\n' >client.ext
signed() { # NAME CN EXTFILE
  key "$1.key"
  openssl req -new -key "$1.key" -subj "/CN=$2" -out "$1.csr"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile "$3" -out "$1.pem" 2>/dev/null
}
signed server daqevstat-test-server server.ext
signed server2 daqevstat-test-server-2 server.ext
signed client daqevstat-test-client client.ext
key other.key
cat server.pem ca.pem >chain.pem
# openssl x509 sets no past dates; the CA command does.
key expired.key
openssl req -new -key expired.key -subj /CN=daqevstat-test-expired -out expired.csr
: >index.txt
printf '[ca]\ndefault_ca=test\n[test]\ndatabase=index.txt\nnew_certs_dir=.\nserial=ca.srl\n'\
'default_md=sha256\npolicy=any\n[any]\ncommonName=supplied\n' >ca.cnf
openssl ca -batch -notext -config ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr \
  -startdate 20200101000000Z -enddate 20200102000000Z -out expired.pem 2>/dev/null
