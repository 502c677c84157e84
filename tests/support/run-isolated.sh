#!/bin/sh
# Runs a command with a temporary HOME in a private IPC namespace, so that it
# can neither see nor change the machine's shared segment or the real home.
home=$(mktemp -d /tmp/tavro-home-XXXXXX) || exit 1
trap 'rm -rf "$home"' EXIT
unset XDG_CONFIG_HOME  # the user's configuration stays theirs
if [ "$(id -u)" = 0 ]; then
    HOME=$home unshare --ipc "$@"
else
    HOME=$home unshare --user --map-root-user --ipc "$@"
fi
