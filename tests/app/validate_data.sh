#!/bin/sh
# validate_data.sh DATA_DIR: the app's desktop file and AppStream metainfo
# pass their validators (desktop-file-utils, appstream).
set -u
data=$1
for tool in desktop-file-validate appstreamcli; do
    if ! command -v $tool >/dev/null; then
        echo "SKIP: $tool is missing; install desktop-file-utils and appstream (scripts/common.sh does)"
        exit 77
    fi
done
status=0
desktop-file-validate "$data"/*.desktop || status=1
appstreamcli validate --no-net --explain "$data"/*.metainfo.xml || status=1
# The metainfo names the desktop file and the icon the desktop file names.
id=$(sed -n 's:.*<id>\(.*\)</id>.*:\1:p' "$data"/*.metainfo.xml)
test -f "$data/$id.desktop" || { echo "FAIL: no $id.desktop beside the metainfo"; status=1; }
grep -qx "Icon=$id" "$data/$id.desktop" || { echo "FAIL: $id.desktop does not name the icon $id"; status=1; }
test -f "$data/$id.svg" || { echo "FAIL: no scalable icon $id.svg"; status=1; }
exit $status
