#!/bin/sh
# Run inside a clean root by the package test: installs the packages from
# /tmp/debs as a user would and uses the installed programs. Each step that
# passes prints "ok: STEP".
set -eu
apt-get -qq update
apt-get install -y -qq --no-install-recommends /tmp/debs/tesk_*.deb >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; exit 1; }
echo "ok: tesk installed"
if dpkg-query -W -f '${Package}\n' | grep -i 'qt6'; then echo "Qt came with tesk"; exit 1; fi
echo "ok: no Qt"

TeskSave --help | head -n 1
TeskRestore --help | head -n 1
echo "ok: help"

cd /root
mapiadmin profile create Home --default
mapiadmin store create /root/personal.store --name "Personal Folders"
mapiadmin store add Home /root/personal.store --default
mapiadmin store create /root/archive.store --name Archive --kind archive
mapiadmin store add Home /root/archive.store
mapiadmin generate Home 'Personal Folders\Inbox' --messages 300 --attachments 2>/dev/null
mapiadmin generate Home 'Personal Folders\Inbox\Projects' --messages 40 2>/dev/null
mapiadmin tree Home 'Personal Folders\Inbox' --json >/tmp/before.json
TeskSave -t "" 'Personal Folders\Inbox' Archive
# The saved copy is the source but for its own name.
mapiadmin tree Home 'Archive\Personal Folders_Inbox' --json |
  sed 's/^  "name": "Personal Folders_Inbox"$/  "name": "Inbox"/' >/tmp/saved.json
cmp /tmp/before.json /tmp/saved.json
echo "ok: save"
ls /root/.local/state/tesk/TeskSave\ *.log >/dev/null
if ls /usr/bin/*.log 2>/dev/null; then echo "a log in /usr/bin"; exit 1; fi
echo "ok: log in the state folder"

mapiadmin generate Home 'Personal Folders\Inbox\Later' --messages 5 2>/dev/null
TeskRestore "" 'Archive\Personal Folders_Inbox' 'Personal Folders\Inbox'
mapiadmin tree Home 'Personal Folders\Inbox' --json | cmp - /tmp/before.json
echo "ok: restore"

man -w TeskSave TeskRestore mapiadmin
echo "ok: manual pages"

apt-get install -y -qq --no-install-recommends /tmp/debs/tesk-dialogs_*.deb >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; exit 1; }
echo "ok: tesk-dialogs installed"
# The dialog loads its plugin from /usr/lib/tesk with every library it needs
# (the window then waits for a user; it is stopped).
timeout -s KILL 60 env QT_QPA_PLATFORM=offscreen LD_DEBUG=files LD_DEBUG_OUTPUT=/tmp/ld TeskSave >/dev/null 2>&1 &
dialog=$!
for i in $(seq 1 600); do
  if grep -qs 'calling init: /usr/lib/tesk/TeskSaveDialogs.so' /tmp/ld.*; then break; fi
  sleep 0.1
done
# A second later the window is still up, waiting.
sleep 1
kill -0 "$dialog"
kill -9 "$dialog" 2>/dev/null || true
wait "$dialog" 2>/dev/null || true
grep -h 'calling init: /usr/lib/tesk/TeskSaveDialogs.so' /tmp/ld.* | head -n 1
if grep -h 'error while loading\|cannot open shared object' /tmp/ld.*; then exit 1; fi
echo "ok: dialog plugin"
