#!/usr/bin/env bash
# Firefox ESR logs in to a web server with the card, the way a user meets it:
# a profile of its own with the module registered and the test CA trusted,
# the client certificate chosen automatically, and `openssl s_server -Verify 1
# -verify_return_error` on 127.0.0.1 that refuses a connection without a
# valid client certificate. The browser runs in a real window on a private
# Xvfb display; a screenshot of each loaded page is kept in the test's output
# folder. For TLS 1.2 and TLS 1.3 each:
#  - a plain reader: Firefox asks for the PIN in its "Password Required"
#    dialog, and the test types it there as a user would;
#  - the pin-pad reader: Firefox calls C_Login without a PIN and waits, its
#    "Protected Authentication" window open, while the PIN is typed on the
#    reader's keypad (scripted once it waits).
# Last, TLS 1.3 with a key imported without its public half.
# Firefox holds the handshake while the login is pending. A browser that
# instead answers the first request for a certificate without one is refused
# by the server and tries again once logged in; the checks allow that.
source "$(dirname "$0")/common.sh"
require firefox-esr Xvfb xdotool import convert modutil certutil
engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
[ -f "$engine" ] || fail "the libp11 engine is not installed ($engine; package libengine-pkcs11-openssl)"
output=${ZENTRIK_CLIENTS_OUTPUT:-$ZENTRIK_BUILD/tests/clients}/firefox
# Digits only: the same PIN is typed on the pin-pad reader's keypad.
USER_PIN=80417356
clients_start "pinpad:Zentrik PinPad"
mkdir -p "$output"
rm -f "$output"/*.png

client_cn="Zentrik Browser User"
step "the card key and its certificate, issued by a software CA"
make_test_ca "Zentrik Browser CA"
card_key_with_certificate 7050 browser "$client_cn"
server_certificate

step "a Firefox profile with the module and the CA, kept off the network"
mkdir profile home
run certutil -N -d sql:profile --empty-password
run modutil -dbdir sql:profile -add Zentrik -libfile "$module" -force
run certutil -A -d sql:profile -n "Zentrik Browser CA" -t "CT,," -i ca.pem
# Prefs: pick the only matching certificate without asking; no first-run
# pages, telemetry, updates, remote settings, safe browsing, captive-portal
# or connectivity checks, prefetching or OCSP, so that the browser opens no
# connection but the test's own.
cat >profile/user.js <<'PREFS'
user_pref("security.default_personal_cert", "Select Automatically");
user_pref("security.remember_cert_checkbox_default_setting", false);
user_pref("security.osclientcerts.autoload", false);
user_pref("security.OCSP.enabled", 0);
user_pref("security.remote_settings.crlite_filters.enabled", false);
user_pref("security.remote_settings.intermediates.enabled", false);
user_pref("security.pki.crlite_mode", 0);
user_pref("security.enterprise_roots.enabled", false);
user_pref("app.update.enabled", false);
user_pref("app.update.auto", false);
user_pref("app.update.disabledForTesting", true);
user_pref("app.normandy.enabled", false);
user_pref("app.shield.optoutstudies.enabled", false);
user_pref("services.settings.server", "http://127.0.0.1:9/");
user_pref("datareporting.healthreport.uploadEnabled", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("datareporting.policy.firstRunURL", "");
user_pref("toolkit.telemetry.enabled", false);
user_pref("toolkit.telemetry.unified", false);
user_pref("toolkit.telemetry.server", "");
user_pref("toolkit.telemetry.archive.enabled", false);
user_pref("browser.ping-centre.telemetry", false);
user_pref("browser.safebrowsing.malware.enabled", false);
user_pref("browser.safebrowsing.phishing.enabled", false);
user_pref("browser.safebrowsing.downloads.enabled", false);
user_pref("browser.safebrowsing.provider.google4.updateURL", "");
user_pref("browser.safebrowsing.provider.mozilla.updateURL", "");
user_pref("extensions.update.enabled", false);
user_pref("extensions.blocklist.enabled", false);
user_pref("extensions.getAddons.cache.enabled", false);
user_pref("media.gmp-manager.url", "");
user_pref("media.gmp-gmpopenh264.enabled", false);
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
user_pref("network.dns.disablePrefetch", true);
user_pref("network.prefetch-next", false);
user_pref("network.http.speculative-parallel-limit", 0);
user_pref("network.proxy.type", 0);
user_pref("network.trr.mode", 5);
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("browser.startup.page", 0);
user_pref("browser.newtabpage.enabled", false);
user_pref("browser.newtabpage.activity-stream.feeds.topsites", false);
user_pref("browser.newtabpage.activity-stream.feeds.section.topstories", false);
user_pref("browser.aboutwelcome.enabled", false);
user_pref("browser.search.update", false);
user_pref("browser.region.network.url", "");
user_pref("browser.region.update.enabled", false);
user_pref("browser.topsites.contile.enabled", false);
user_pref("browser.contentblocking.report.lockwise.enabled", false);
user_pref("browser.sessionstore.resume_from_crash", false);
user_pref("browser.tabs.warnOnClose", false);
user_pref("toolkit.startup.max_resumed_crashes", -1);
user_pref("signon.management.page.breach-alerts.enabled", false);
user_pref("identity.fxaccounts.enabled", false);
user_pref("messaging-system.rsexperimentloader.enabled", false);
user_pref("privacy.sanitize.sanitizeOnShutdown", false);
PREFS
# A window as tall as the display, so that the screenshot holds the whole
# status page, the client certificate at its end included.
printf '{"chrome://browser/content/browser.xhtml":{"main-window":{"screenX":"0","screenY":"0","width":"1280","height":"3000","sizemode":"normal"}}}' \
    >profile/xulstore.json

step "a private X display"
exec 5>display.txt
Xvfb -displayfd 5 -screen 0 1280x3000x24 -nolisten tcp >xvfb.log 2>&1 </dev/null &
started $!
exec 5>&-
wait_until 20 "Xvfb to announce its display" test -s display.txt
DISPLAY=":$(cat display.txt)"
export DISPLAY

# page_painted FILE: a screenshot in FILE whose page area (below the
# toolbars) shows text on a light background, neither a bare display nor a
# blank page: Firefox has drawn the page it received.
page_painted() {
    import -window root "$1" &&
        [ "$(convert "$1" -crop 1000x300+0+100 -format '%[fx:mean > 0.5 && mean < 0.97]' info:)" = 1 ]
}

# login_pending LOGDIR: the module's trace log in LOGDIR shows a C_Login that
# has not returned yet.
login_pending() {
    grep -hs "C_Login" "$1"/*.log | tail -1 | grep -q "Entering"
}

# browse NAME VERSION READER: one Firefox start, with a copy of the profile
# and a trace log of its own, against a fresh s_server limited to TLS VERSION
# that answers with its status page (-www), the client certificate included.
# READER says how the PIN arrives: "plain" types it into Firefox's dialog,
# "pinpad" on the reader's keypad once Firefox waits in C_Login. Passes when
# the server verified the card's certificate and the signature over the
# handshake, served its page, and Firefox drew it.
browse() {
    local name=$1 version=$2 reader=$3
    start_tls_server "server-$name.log" "$version" -www -state
    cp -r profile "profile-$name"
    mkdir "log/$name"
    printf 'loglevel = 1\nlogpath = %s\ncache = %s\n' "$work/log/$name" "$work/cache" >"zentrik-$name.txt"
    ZENTRIK_CONF=$work/zentrik-$name.txt HOME=$work/home MOZ_CRASHREPORTER_DISABLE=1 firefox-esr --no-remote \
        --new-instance --profile "$work/profile-$name" "https://127.0.0.1:$server_port/" \
        >"firefox-$name.log" 2>&1 </dev/null &
    local firefox_pid=$!
    started "$firefox_pid"
    if [ "$reader" = plain ]; then
        wait_until 30 "Firefox to ask for the PIN" xdotool search --onlyvisible --name '^Password Required' >/dev/null
        local dialog
        dialog=$(xdotool search --onlyvisible --name '^Password Required' | head -1)
        xdotool windowfocus --sync "$dialog" type --delay 20 "$USER_PIN"
        xdotool key --window "$dialog" Return
    else
        # Firefox shows its "Protected Authentication" window, telling the
        # user to use the reader, while it waits in C_Login.
        wait_until 30 "Firefox to wait for the keypad" login_pending "log/$name"
        wait_until 30 "Firefox's keypad prompt" xdotool search --onlyvisible --name '^Protected Authentication' \
            >/dev/null
        "$bench_sh" ctl "$bench_dir" "Zentrik PinPad" "keypad pin:$USER_PIN" >/dev/null
    fi
    wait_until 30 "the server to send its page" grep -q "SSL3 alert write:warning:close notify" "server-$name.log"
    wait_until 10 "Firefox to draw the page" page_painted "$output/$name.png"
    stop_pid "$firefox_pid"
    stop_pid "$server_pid"
    # Firefox hands the module the PIN typed into its dialog, and none when
    # the reader has a keypad.
    local given=true log
    [ "$reader" = plain ] || given=false
    expect_in "$(grep -h -A4 "Entering C_Login" "log/$name"/*.log)" "pPin != 0 = $given"
    log=$(cat "server-$name.log")
    expect_in "$log" "depth=1 CN = Zentrik Browser CA" "depth=0 CN = $client_cn" "verify return:1" \
        "SSL_accept:SSLv3/TLS read certificate verify" "SSL_accept:SSLv3/TLS read finished"
}

for version in 1.2 1.3; do
    step "TLS $version, plain reader: the PIN typed into Firefox's dialog"
    browse "plain-$version" "$version" plain
done
step "the card moves to the pin-pad reader"
"$bench_sh" remove "$bench_dir" "Zentrik Virtual 00 00"
"$bench_sh" insert "$bench_dir" "Zentrik PinPad" "$bench_dir/card.img"
for version in 1.2 1.3; do
    step "TLS $version, pin-pad reader: the PIN typed on the keypad while Firefox waits"
    browse "pinpad-$version" "$version" pinpad
done

# A key made in software and imported as certificate importers leave it:
# the private key without its public half (pkcs11-tool --write-object of a
# private key), its certificate beside it. Over TLS 1.3 Firefox signs with
# RSA-PSS, sized from the private key's modulus. The generated key's
# certificate is taken off the card, so that the imported one is the only
# one to choose.
step "TLS 1.3, plain reader: a key imported without its public half"
"$bench_sh" remove "$bench_dir" "Zentrik PinPad"
"$bench_sh" insert "$bench_dir" "Zentrik Virtual 00 00" "$bench_dir/card.img"
client_cn="Zentrik Browser Imported"
run openssl req -new -newkey rsa:2048 -nodes -keyout imported.key -subj "/CN=$client_cn" -out imported.csr
ca_issue imported.csr 0x7051 imported.pem extendedKeyUsage=clientAuth keyUsage=critical,digitalSignature
run openssl x509 -in imported.pem -outform DER -out imported.der
run tool_user --delete-object --type cert --id 7050
run tool_user --write-object imported.key --type privkey --id 7051 --label imported
run tool_user --write-object imported.der --type cert --id 7051 --label imported
browse imported-1.3 1.3 plain

check_trace_log
