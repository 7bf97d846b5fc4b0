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
#  - the pin-pad reader: Firefox calls C_Login without a PIN and waits while
#    the PIN is typed on the reader's keypad (scripted once it waits).
# While the login is pending Firefox answers the first request for a
# certificate without one (the server refuses it) and tries again with the
# certificate once logged in.
source "$(dirname "$0")/common.sh"
require firefox-esr Xvfb xdotool import modutil certutil
engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
[ -f "$engine" ] || fail "the libp11 engine is not installed ($engine; package libengine-pkcs11-openssl)"
output=${ZENTRIK_CLIENTS_OUTPUT:-$ZENTRIK_BUILD/tests/clients}/firefox
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

step "a private X display"
exec 5>display.txt
Xvfb -displayfd 5 -screen 0 1280x900x24 -nolisten tcp >xvfb.log 2>&1 </dev/null &
started $!
exec 5>&-
wait_until 20 "Xvfb to announce its display" test -s display.txt
export DISPLAY=":$(cat display.txt)"
