#!/usr/bin/env bash
# Tree rules that the compiler cannot check: formatting, the one engine door, event names.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
status=0

mapfile -t sources < <(git ls-files -co --exclude-standard 'src/*.h' 'src/*.cpp' 'tests/*.h' \
    'tests/*.cpp' 'ui/packer/*.cpp' 'bench/*.cpp' 2>/dev/null)

if command -v clang-format >/dev/null && [ "${#sources[@]}" -gt 0 ]; then
    if ! clang-format --dry-run -Werror "${sources[@]}" 2>/tmp/velmora-format.$$; then
        head -40 /tmp/velmora-format.$$
        echo "check_tree: files need clang-format"
        status=1
    fi
    rm -f /tmp/velmora-format.$$
fi

# Only the engine session holds the libtorrent session.
if grep -ln 'libtorrent/session\.hpp' "${sources[@]}" 2>/dev/null | grep -v 'src/engine/engine_session' \
    | grep -v '^tests/' | grep -v '^bench/'; then
    echo "check_tree: libtorrent/session.hpp outside the engine session"
    status=1
fi

# Event names are written once, in event_names.h.
mapfile -t events < <(sed -n 's/.*std::string_view k[A-Za-z0-9]* = "\([^"]*\)";/\1/p' \
    src/bridge/event_names.h)
for name in "${events[@]}"; do
    hits=$(grep -ln "\"$name\"" $(printf '%s\n' "${sources[@]}" | grep '^src/' \
        | grep -v 'src/bridge/event_names.h' | grep -v 'src/host/command_list.cpp') 2>/dev/null)
    if [ -n "$hits" ]; then
        echo "check_tree: bare event name \"$name\" in: $hits"
        status=1
    fi
done

exit $status
