#!/usr/bin/env bash
# Writes a ready demo home into demo-home/ (ignored by git): settings on
# unprivileged ports, a self-signed certificate, a demo account with a
# generated password and a demo share. An existing demo home is kept.
set -euo pipefail
cd "$(dirname "$0")/.."
home="$PWD/demo-home"
if [ -f "$home/config/set.ini" ]; then
  exit 0
fi
mkdir -p "$home/config" "$home/share" "$home/backup"

keypass=$(openssl rand -hex 12)
password=$(openssl rand -hex 8)

openssl req -x509 -newkey rsa:2048 -days 825 -subj "/CN=localhost" \
  -keyout "$home/config/sslkey.pem" -out "$home/config/sslcert.pem" \
  -passout "pass:$keypass" >/dev/null 2>&1
chmod 600 "$home/config/sslkey.pem"

cat > "$home/config/set.ini" <<INI
; Zelfo demo settings: unprivileged ports on every address.
[Zelfo_ftp]
Service_portv4=2121
Service_portv6=2121
Implicit_mode=1
Service_implicitv4=2990
Service_implicitv6=2990
Max_users=32

[Zelfo_extend]
Econ_portv4=2020
Econ_portv6=2020
Log_level=4

[Zelfo_http]
Service_portv4=8080
Service_portv6=8080
Service_sslv4port=8081
Service_sslv6port=8081
Enable_httpsv4=1
Enable_httpsv6=1

[Tls_config]
Tls_privatekeypass=$keypass
Tls_privatekeyfile=?InstallDir?config/sslkey.pem
TLS_certificatefile=?InstallDir?config/sslcert.pem
INI

cat > "$home/config/myaccount.ini" <<INI
; Zelfo demo account. Pass_Word is the clear password; SPass_Word holds
; a scrambled one instead.
[User_user1]
Active_Mode=1
Access_Level=1
User_Name=demo
Pass_Word=$password
Backup_dir=$home/backup
INI
chmod 600 "$home/config/myaccount.ini"

cat > "$home/config/myshare.txt" <<TXT
# LEVEL*NAME*PATH: accounts with this access level or more see the share.
1*share*$home/share
TXT

echo "Hello from the Zelfo demo share." > "$home/share/hello.txt"
echo "demo home written to $home"
