#!/usr/bin/env bash
# Builds the Debian packages, installs them, and checks what a user of them gets: vdcatalog runs (its tour),
# its manual page names every command and its completion offers them, the example host builds with
# find_package(vdpattern) and with pkg-config and runs without LD_LIBRARY_PATH, and Debian's python3 imports the
# packaged module and reads a catalog with it. As root with apt-get (CI), the
# packages go into the real system and are removed again afterwards, with anything apt-get brought along;
# otherwise, when a copy of them is installed already, or with UNPACK=1, they are unpacked into a temporary
# folder instead.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
unset LD_LIBRARY_PATH  # installed packages must need none
names=(libvdpattern0 libvdpattern-dev vdcatalog python3-vdpattern)
mapfile -t debs < <(bash scripts/build-packages.sh)
((${#debs[@]} == ${#names[@]})) || { echo "check-packages: expected ${#names[@]} packages: ${debs[*]}" >&2; exit 1; }

work=$(mktemp -d)
installed=false
before=$work/packages-before
cleanup() {
  local status=$?
  if $installed; then
    # Remove ours, then whatever the installation added as dependencies: the machine is left as it was.
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${names[@]}" >"$work/remove.log" 2>&1 || cat "$work/remove.log" >&2
    mapfile -t added < <(dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" { print $2 }' | sort \
      | comm -13 "$before" -)
    if ((${#added[@]})); then
      DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${added[@]}" >"$work/remove.log" 2>&1 || cat "$work/remove.log" >&2
    fi
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
fail() {
  echo "check-packages: $*" >&2
  exit 1
}
deb_of() {  # the .deb file of a package name
  local d
  for d in "${debs[@]}"; do [[ $(dpkg-deb -f "$d" Package) == "$1" ]] && { echo "$d"; return; }; done
  fail "no package $1 among ${debs[*]}"
}

# What the package metadata promises.
version=$(dpkg-deb -f "$(deb_of libvdpattern0)" Version)
for p in libvdpattern-dev vdcatalog python3-vdpattern; do
  depends=$(dpkg-deb -f "$(deb_of "$p")" Depends)
  [[ $depends == *"libvdpattern0 (= $version)"* ]] || fail "$p does not depend on libvdpattern0 (= $version): $depends"
done
for p in libvdpattern0 vdcatalog python3-vdpattern; do
  [[ $(dpkg-deb -f "$(deb_of "$p")" Depends) == *libc6* ]] || fail "$p has no dependencies computed from its binaries"
done
[[ $(dpkg-deb -f "$(deb_of python3-vdpattern)" Depends) == *"python3 (>="* ]] || fail "python3-vdpattern does not depend on python3"
[[ $(dpkg-deb -c "$(deb_of vdcatalog)") == *' ./usr/share/bash-completion/completions/vdcatalog'* ]] \
  || fail "vdcatalog has no bash completion"
# Docker images of Debian leave manual pages out when installing, so the page is read from the package.
dpkg-deb --fsys-tarfile "$(deb_of vdcatalog)" | tar -xO ./usr/share/man/man1/vdcatalog.1.gz | gzip -dc >"$work/vdcatalog.1" \
  || fail "vdcatalog has no manual page"

if [[ ${UNPACK:-0} != 1 && $(id -u) == 0 ]] && command -v apt-get >/dev/null \
  && ! dpkg-query -W -f='${Status}\n' "${names[@]}" 2>/dev/null | grep -q 'install ok installed'; then
  dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" { print $2 }' | sort >"$before"
  installed=true
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${debs[@]}" >"$work/install.log" 2>&1 \
    || { cat "$work/install.log" >&2; fail "apt-get install failed"; }
  root=
  python_dir=
  echo "check-packages: installed ${names[*]} $version"
else
  root=$work/root
  for d in "${debs[@]}"; do dpkg-deb -x "$d" "$root"; done
  multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
  # Packaged programs rely on the system's library folder, which an unpacked copy is not in.
  export LD_LIBRARY_PATH=$root/usr/lib/$multiarch
  export PKG_CONFIG_PATH=$root/usr/lib/$multiarch/pkgconfig
  python_dir=$root/usr/lib/python3/dist-packages
  echo "check-packages: unpacked ${names[*]} $version into a temporary folder"
fi
vdcatalog=$root/usr/bin/vdcatalog

"$vdcatalog" --help >"$work/help" || fail "vdcatalog --help failed"
mapfile -t commands < <(awk '/^[A-Za-z]+:/ { in_list = (tolower($0) ~ /^subcommands:/); next } in_list && /^  [a-z]/ { print $1 }' "$work/help")
((${#commands[@]} > 5)) || fail "no commands found in vdcatalog --help"
for c in "${commands[@]}"; do
  grep -qF ".BI ${c//-/\\-} " "$work/vdcatalog.1" || fail "the manual page does not describe '$c'"
done
# The completion, as bash-completion would load it: every command for the first word, a command's options after.
complete_words() {  # what the completion offers for the last of the words given
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _vdcatalog; printf "%s\n" "${COMPREPLY[@]}"' \
    _ "$root/usr/share/bash-completion/completions/vdcatalog" "$@"
}
offered=$(complete_words "$vdcatalog" "")
[[ $(sort <<<"$offered") == $(printf '%s\n' "${commands[@]}" | sort) ]] || fail "the completion offers: $offered"
offered=$(complete_words "$vdcatalog" list x.mdb --)
grep -qx -- --like <<<"$offered" || fail "the completion of 'list --' offers: $offered"

# The example host, built against the packages both ways.
mkdir "$work/host"
cat >"$work/host/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(host_demo LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(vdpattern 0.1 CONFIG REQUIRED)
add_executable(host_demo "$repo/examples/host_demo.cpp")
target_link_libraries(host_demo PRIVATE vdpattern::vdpattern)
CMAKE
if ! { cmake -S "$work/host" -B "$work/host/build" -G Ninja ${root:+-DCMAKE_PREFIX_PATH="$root/usr"} \
  && cmake --build "$work/host/build"; } >"$work/host.log" 2>&1; then
  cat "$work/host.log" >&2
  fail "find_package build failed"
fi
# shellcheck disable=SC2046  # pkg-config's words are meant to split
g++ -std=c++17 -O1 examples/host_demo.cpp -o "$work/host_demo_pc" \
  $(pkg-config ${root:+--define-variable=prefix="$root/usr"} --cflags --libs vdpattern) || fail "pkg-config build failed"
"$work/host_demo_pc" >/dev/null || fail "the host built with pkg-config failed"

# The Python module, as Debian's python3 finds it (isolated: no PYTHONPATH, so never a build tree's copy).
/usr/bin/python3 -I - "$work" "$python_dir" <<'PY' || fail "the packaged Python module failed"
import os, sys
if sys.argv[2]:
    sys.path.insert(0, sys.argv[2])
import vdpattern
assert "dist-packages" in vdpattern.__file__, vdpattern.__file__
path = os.path.join(sys.argv[1], "py.mdb")
vdpattern.create_catalog(path, "Steel sections")
vdpattern.add_family(path, "IPE", "I", [("h", "DOUBLE", "mm")])
with vdpattern.Catalog(path) as c:
    c.insert(vdpattern.Pattern("IPE 200", "IPE", {"h": 200.0}))
m = vdpattern.Manager(metrics=1)
m.attach(path)
assert abs(m.get("IPE 200")["h"] - 0.2) < 1e-12
PY

VDCATALOG_BIN=$vdcatalog HOST_DEMO_BIN=$work/host/build/host_demo DEMO_DIR=$work bash scripts/run-demo.sh >"$work/demo.log" 2>&1 \
  || { cat "$work/demo.log" >&2; fail "the tour with the packaged vdcatalog failed"; }
echo "check-packages: vdcatalog --help, manual page, completion, the tour, the host built with find_package and pkg-config, and the Python module all work"
