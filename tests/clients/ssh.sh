#!/usr/bin/env bash
# SSH login with the card key through ssh-agent: ssh-keygen -D reads the
# card's public key into authorized_keys, ssh-add -s loads the module into
# the agent (allowed by -P for the module's path, the PIN given through
# SSH_ASKPASS), and ssh runs a command on a private sshd on 127.0.0.1 (its
# own configuration and host key, a free port, public-key login only). The
# server's log must name the card key as the one it accepted.
source "$(dirname "$0")/common.sh"
require ssh ssh-agent ssh-add ssh-keygen unshare mount
sshd=/usr/sbin/sshd
[ -x "$sshd" ] || fail "sshd is not installed (package openssh-server)"
[ "$(id -u)" -eq 0 ] || fail "the SSH login needs root for sshd's privilege separation directory"
clients_start

step "a key pair on the card; ssh-keygen -D reads its public half"
run tool_user --keypairgen --key-type rsa:2048 --id 7070 --label sshlogin
run ssh-keygen -D "$module"
# The empty readers beside the card's must not disturb the listing.
expect_not_in "$out" "failed"
[ "$(grep -c '^ssh-rsa ' <<<"$out")" -eq 1 ] || fail "expected one RSA key from the card:"$'\n'"$out"
grep '^ssh-rsa ' <<<"$out" >authorized_keys
card_key=$(ssh-keygen -lf authorized_keys | awk '{print $2}')

step "a private sshd on 127.0.0.1"
run ssh-keygen -q -t ed25519 -N '' -f host_key
port=$(free_port)
cat >sshd_config <<CONF
ListenAddress 127.0.0.1:$port
HostKey $work/host_key
PidFile none
AuthorizedKeysFile $work/authorized_keys
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
UsePAM yes
StrictModes no
LogLevel VERBOSE
CONF
# Without PAM sshd refuses an account whose password is locked, as root's
# often is; PAM's account and session stacks of the service let the key
# decide. sshd runs in a private mount namespace: the flow's own /etc/pam.d,
# and a private /run holding the privilege separation directory it needs.
mkdir pam.d
printf 'auth required pam_deny.so
account required pam_permit.so
session required pam_permit.so
password required pam_deny.so
' \
    >pam.d/sshd
unshare -m sh -c 'mount --make-rprivate / && mount --bind "$2" /etc/pam.d &&
    mount -t tmpfs -o mode=0755 zentrik-sshd /run && mkdir /run/sshd && exec "$0" -D -e -f "$1"' \
    "$sshd" "$work/sshd_config" "$work/pam.d" >sshd.log 2>&1 </dev/null &
started $!
wait_until 10 "sshd to listen" grep -q "Server listening on 127.0.0.1 port $port" sshd.log
printf '[127.0.0.1]:%s %s\n' "$port" "$(cut -d' ' -f1,2 host_key.pub)" >known_hosts

step "ssh-agent with the card key"
export SSH_AUTH_SOCK=$work/agent.sock
ssh-agent -D -a "$SSH_AUTH_SOCK" -P "$module" >agent.log 2>&1 </dev/null &
started $!
wait_until 10 "ssh-agent to listen" test -S "$SSH_AUTH_SOCK"
# ssh-add asks for the PIN through SSH_ASKPASS when there is no terminal.
printf '#!/bin/sh\necho %s\n' "$USER_PIN" >askpass
chmod 0700 askpass
run env SSH_ASKPASS="$work/askpass" SSH_ASKPASS_REQUIRE=force ssh-add -s "$module"
expect_in "$out" "Card added: $module"
run ssh-add -l
expect_in "$out" "$card_key"

step "ssh runs a command on the server with the card key"
run env HOME="$work" ssh -F none -p "$port" -o UserKnownHostsFile="$work/known_hosts" \
    -o StrictHostKeyChecking=yes -o BatchMode=yes -o IdentityAgent="$SSH_AUTH_SOCK" \
    -o PasswordAuthentication=no "$(id -un)@127.0.0.1" echo ok-from-sshd
[ "$out" = ok-from-sshd ] || fail "unexpected output from ssh:"$'\n'"$out"
expect_in "$(cat sshd.log)" "Accepted publickey for $(id -un) from 127.0.0.1" "RSA $card_key"

step "the agent lets go of the card"
run ssh-add -e "$module"
expect_failure ssh-add -l
expect_in "$out" "The agent has no identities."

check_trace_log
