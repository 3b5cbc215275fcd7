#!/usr/bin/env bash
# shellcheck disable=SC2317 # the paths' functions are called by name
# Checks that every path the README gives a newcomer works on a minimal
# Debian 12: each runs as root, on a clean clone of a commit, in its own fresh
# copy of a `debootstrap --variant=minbase bookworm` root, so that no path
# gets by on what another one installed. Prints one line per path.
#   scripts/fresh-check.sh [options] [path...]
# Paths (default: all): demo test ci bench install package web
#   --cache DIR   the base root, the copies and the logs (default /var/cache/movdith-fresh-check)
#   --rev REV     the commit to check (default HEAD: what is committed, not the working tree)
#   --refresh     make the base root anew instead of reusing the cached one
#   --keep        leave each path's root in DIR/roots/ to look into (a few GB each)
#   --self-test [DIR]   checks the clean-up instead (success, failure, Ctrl-C,
#                       TERM) in a tiny root of this machine's programs, made in
#                       DIR (default: a new temporary folder); no network, seconds
# Run as root. Installs debootstrap, git and curl if missing; otherwise it
# changes nothing outside DIR: processes started in a root are stopped and its
# mounts (/proc, /dev, /dev/pts, /dev/shm, the shared package cache) undone on
# every exit path. Exit status: 0 all passed, 1 a path failed, 2 not run.
set -euo pipefail
shopt -s inherit_errexit

project=$(cd "$(dirname "$0")/.." && pwd)
self=$project/scripts/fresh-check.sh
cache=/var/cache/movdith-fresh-check
rev=HEAD
refresh=no
keep=no
all_paths=(demo test ci bench install package web)
# Paths for --self-test only: they run in its tiny root, without the project.
probe_paths=(probe-pass probe-fail probe-wait)
mirror=http://deb.debian.org/debian
web_address=127.0.0.1:8096
in_root_path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
# What a fresh login in a root has in its environment. npm brings its own
# certificate authorities; on a network that inspects TLS with its own
# authority, as some company and sandbox networks do, the machine's trust
# (copied into each root) must be added for npm ci to reach the registry.
# That is this machine's network, not a step the README misses.
host_ca=/etc/ssl/certs/ca-certificates.crt
root_ca=/etc/ssl/fresh-check-host-ca.crt
root_env=(HOME=/root PATH="$in_root_path" NODE_EXTRA_CA_CERTS="$root_ca")

note() { echo "fresh-check: $*" >&2; }
die() {
  note "$*"
  exit 2
}

# ---- Mounts and processes under a folder ----

# Mount points at or under $1, one a line, in the order they were mounted.
mounts_under() {
  local _source target _rest
  while read -r _source target _rest; do
    printf -v target '%b' "$target" # the table writes a space as \040
    if [[ $target == "$1" || $target == "$1"/* ]]; then echo "$target"; fi
  done </proc/self/mounts
}

# Undoes every mount at or under $1, the last made first. One still busy
# (a process outside the folder holding a file in it) is detached lazily.
unmount_under() {
  local points i
  mapfile -t points < <(mounts_under "$1")
  for ((i = ${#points[@]} - 1; i >= 0; i--)); do
    umount "${points[i]}" 2>/dev/null && continue
    note "${points[i]} is busy: detached lazily"
    umount -l "${points[i]}" || true
  done
}

# Processes whose root directory is $1 or under it: whatever runs in a root.
# (A process that ends during the search makes find complain: not a failure.)
processes_in() {
  { find /proc -mindepth 2 -maxdepth 2 -name root \( -lname "$1" -o -lname "$1/*" \) 2>/dev/null || true; } |
    cut -d / -f 3
}

# Stops every process in a root under $1: TERM, then KILL for those still
# there after three seconds.
stop_processes_in() {
  local signal pids tries
  for signal in TERM KILL; do
    pids=$(processes_in "$1")
    [[ -n $pids ]] || return 0
    # shellcheck disable=SC2086 # one PID a word
    kill -s "$signal" $pids 2>/dev/null || true
    for ((tries = 0; tries < 30; tries++)); do
      [[ -n $(processes_in "$1") ]] || return 0
      sleep 0.1
    done
  done
}

# Removes a root once nothing is mounted in it; never crosses into another
# file system, so that a mount that somehow stayed keeps its files.
remove_root() {
  [[ -e $1 ]] || return 0
  if [[ -n $(mounts_under "$1") ]]; then
    note "not removing $1: something is still mounted in it"
    return 1
  fi
  rm -rf --one-file-system "$1"
}

# ---- The job in hand and the one clean-up path ----

job=      # what runs now: a command in a session of its own, or a path's subshell
locked=no # the clean-up touches the cache only while this run holds its lock

# Runs a command in a session of its own, in the background, and waits for it:
# a signal then reaches this script's traps at once, and the clean-up can stop
# the command with everything it started.
run_job() {
  setsid --wait "$@" &
  job=$!
  local status=0
  wait "$job" || status=$?
  job=
  return "$status"
}

# Whether a child process still runs (an ended one stays a zombie until
# waited for).
running() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [[ ${stat%% *} != Z ]]
}

# Stops the job in hand (its whole session if it has one): TERM, then KILL
# if it is still there after three seconds.
stop_job() {
  [[ -n $job ]] || return 0
  local signal tries
  for signal in TERM KILL; do
    kill -s "$signal" -- "-$job" 2>/dev/null || kill -s "$signal" "$job" 2>/dev/null || true
    for ((tries = 0; tries < 30; tries++)); do
      running "$job" || break 2
      sleep 0.1
    done
  done
  if running "$job"; then note "process $job does not stop"; else wait "$job" 2>/dev/null || true; fi
  job=
}

# Stops whatever runs, undoes every mount in the cache and removes the roots
# (the paths' ones unless --keep, and a half-made base).
cleanup() {
  [[ $locked == yes ]] || return 0
  stop_job
  stop_processes_in "$cache"
  unmount_under "$cache"
  local root
  for root in "$cache/base.new" "$cache"/roots/*; do
    if [[ $keep == no || $root != "$cache"/roots/* ]]; then remove_root "$root" || true; fi
  done
}

# ---- Roots ----

# The programs this script needs on the machine it runs on.
need_host_tools() {
  local tool
  for tool in debootstrap git curl; do
    if ! command -v "$tool" >/dev/null; then
      "$project/scripts/setup.sh" --packages-only fresh >&2
      return
    fi
  done
}

# The cached minimal root, made with debootstrap when there is none (or with
# --refresh). Prints the table's line for it.
make_base() {
  local base=$cache/base log=$cache/logs/base.log start=$SECONDS
  if [[ -f $cache/base.ok && $refresh == no ]]; then
    printf '%-8s reused, made %s\n' base "$(cat "$cache/base.ok")"
    return 0
  fi
  note "base: debootstrap --variant=minbase bookworm (log: $log)"
  remove_root "$base.new"
  if ! run_job debootstrap --variant=minbase bookworm "$base.new" "$mirror" >"$log" 2>&1; then
    report base failed $((SECONDS - start)) "$log"
    exit 1
  fi
  # The sources of an installed Debian 12: point and security updates too.
  rm -f "$base.new/etc/apt/sources.list"
  printf '%s\n' "Types: deb" "URIs: $mirror" "Suites: bookworm bookworm-updates" "Components: main" \
    "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" "" \
    "Types: deb" "URIs: $mirror-security" "Suites: bookworm-security" "Components: main" \
    "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" \
    >"$base.new/etc/apt/sources.list.d/debian.sources"
  rm -f "$cache/base.ok"
  remove_root "$base"
  mv "$base.new" "$base"
  date -u +%Y-%m-%d >"$cache/base.ok"
  report base made $((SECONDS - start))
}

# A fresh copy of the base at $cache/roots/$1 (its path is printed), with
# what a booted machine has mounted, and the package cache that the copies
# share: it saves the downloads, not the installs.
fresh_root() {
  local root=$cache/roots/$1
  remove_root "$root"
  mkdir -p "$cache/roots" "$cache/apt-archives"
  cp -a --reflink=auto "$cache/base" "$root"
  mkdir -p "$root/proc" "$root/dev" "$root/var/cache/apt/archives"
  mount -t proc proc "$root/proc"
  # Private, so that nothing mounted in the root shows up in the machine's /dev.
  mount --bind /dev "$root/dev"
  mount --make-private "$root/dev"
  mount --bind /dev/pts "$root/dev/pts"
  mount --make-private "$root/dev/pts"
  # Its own /dev/shm: what a program leaves there goes with the root.
  mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
  mount --bind "$cache/apt-archives" "$root/var/cache/apt/archives"
  if [[ -f $host_ca ]]; then mkdir -p "$(dirname "$root$root_ca")" && cp "$host_ca" "$root$root_ca"; fi
  echo "$root"
}

# A fresh root with a clean clone of the commit in it and ../shared beside
# it; its path is printed.
project_root() {
  local root dest
  root=$(fresh_root "$1")
  dest=$root/src/movdith
  mkdir -p "$root/src"
  git clone --quiet --no-checkout --no-hardlinks "$project" "$dest"
  git -C "$dest" cat-file -e "$sha^{commit}" 2>/dev/null || git -C "$dest" fetch --quiet "$project" "$sha"
  git -C "$dest" -c advice.detachedHead=false checkout --quiet --detach "$sha"
  if [[ -d $project/../shared ]]; then cp -a "$project/../shared" "$root/src/shared"; fi
  echo "$root"
}

# Runs a bash script in a root as root, from the project's folder, with only
# what a fresh login has in its environment, without standard input.
in_root() {
  run_job chroot "$1" /usr/bin/env -i "${root_env[@]}" \
    /bin/bash -c "set -euo pipefail; cd /src/movdith 2>/dev/null || cd /; $2" </dev/null
}

# ---- The paths ----
# Each runs in a subshell of its own, with errexit, its output in its log.

# Fails the script it ends when a test did not run: in a fresh root a skip
# means something is missing.
no_skips='if grep -q "tests did not run" /tmp/out; then echo "fresh-check: some tests did not run"; exit 1; fi'
# Passes when the output's last line is "Success!".
success='tail -n 1 /tmp/out | grep -qx "Success!"'

# Runs a script in a fresh root of the project's, named after the path.
in_project_root() {
  local root
  root=$(project_root "$1")
  in_root "$root" "$2"
}

path_demo() { in_project_root demo "bash scripts/demo.sh | tee /tmp/out; $success; test -s sample.8xx"; }
path_test() { in_project_root test "bash scripts/test.sh | tee /tmp/out; $no_skips"; }
path_ci() { in_project_root ci "CI=true bash .ci/run | tee /tmp/out; $no_skips"; }

# The pipeline benchmark, briefly: each case measured for a hundredth of a
# second.
path_bench() {
  in_project_root bench "scripts/bench.sh --benchmark_min_time=0.01 | tee /tmp/out; grep -q '^BM_' /tmp/out"
}

# The README's install from a build into /usr/local, then a conversion from
# another folder with what it installed.
path_install() {
  in_project_root install "
    bash scripts/setup.sh
    cmake --install build
    mkdir /tmp/elsewhere && cd /tmp/elsewhere
    movdith /src/movdith/sample/sample.mp4 out.8xx | tee /tmp/out; $success
    vidxview out.8xx --info
    test \"\$(command -v movdith)\" = /usr/local/bin/movdith
    test -s /usr/local/share/man/man1/movdith.1.gz"
}

# The README's package commands from a build with the browser page, then the
# package alone on another fresh root: its dependencies must bring everything
# it runs, and it holds the one-file page and the site's zip.
path_package() {
  local root alone page_files
  # One command a line: errexit does not stop inside an && list.
  page_files="ls -l /usr/share/movdith
    test -s /usr/share/movdith/movdith.html
    test -s /usr/share/movdith/movdith-web.zip
    test -s /usr/share/movdith/web/index.html"
  root=$(project_root package)
  in_root "$root" "
    bash scripts/setup.sh web
    scripts/setup.sh --packages-only package
    cd build && cpack -G DEB
    apt-get install -y ./movdith_*.deb
    $page_files
    mkdir /tmp/elsewhere && cd /tmp/elsewhere
    movdith /src/movdith/sample/sample.mp4 out.8xx | tee /tmp/out; $success
    man movdith >/tmp/out; head -n 8 /tmp/out; grep -q '^NAME' /tmp/out"
  echo "== the package alone on a fresh root"
  alone=$(fresh_root package-alone)
  cp "$root"/src/movdith/build/movdith_*.deb "$root/src/movdith/sample/sample.mp4" "$alone/tmp/"
  in_root "$alone" "
    cd /tmp && apt-get update -q && apt-get install -y -q ./movdith_*.deb
    $page_files
    mkdir /tmp/elsewhere && cd /tmp/elsewhere
    movdith /tmp/sample.mp4 out.8xx | tee /tmp/out; $success"
}

# The browser page: scripts/web.sh builds it and serves it; the page and the
# files it names are fetched from here, as a browser would.
path_web() {
  if (exec 3<>"/dev/tcp/${web_address/://}") 2>/dev/null; then
    echo "fresh-check: $web_address is already in use; stop what serves there first"
    return 1
  fi
  local root server tries
  root=$(project_root web)
  setsid chroot "$root" /usr/bin/env -i "${root_env[@]}" \
    /bin/bash -c "cd /src/movdith && exec bash scripts/web.sh" </dev/null &
  server=$!
  # The first build installs emscripten and the npm packages: give it time.
  for ((tries = 0; tries < 3600; tries++)); do
    curl -fsS --max-time 10 -o /dev/null "http://$web_address/" 2>/dev/null && break
    if ! running "$server"; then
      echo "fresh-check: scripts/web.sh ended before serving the page"
      return 1
    fi
    sleep 1
  done
  fetch_page "http://$web_address"
}

# Fetches a page and every file of the same site it names (src and href in
# the page; relative imports and .wasm names in its scripts), each of them
# served with the type a browser insists on.
fetch_page() {
  local site=$1 dir queue=(/) seen=" " problems=() path file url type want refs ref
  dir=$(mktemp -d)
  while ((${#queue[@]})); do
    path=${queue[0]}
    queue=("${queue[@]:1}")
    [[ $seen != *" $path "* ]] || continue
    seen+="$path "
    file=$dir/$(echo "$path" | tr '/' '_')
    url=$site$path
    if ! type=$(curl -fsS --max-time 60 -o "$file" -w '%{content_type}' "$url"); then
      problems+=("cannot fetch $url")
      continue
    fi
    echo "fetched $url: $(stat -c %s "$file") bytes, $type"
    case $path in
      */ | *.html) want=text/html ;;
      *.js | *.mjs) want=javascript ;;
      *.wasm) want=application/wasm ;;
      *.css) want=text/css ;;
      *) want= ;;
    esac
    if [[ -n $want && $type != *"$want"* ]]; then problems+=("$url is served as '$type', not $want"); fi
    case $path in
      */ | *.html) refs=$(grep -oE '(src|href)="[^"]*"' "$file" | sed -E 's/^[a-z]+="(.*)"$/\1/') || true ;;
      *.js | *.mjs)
        refs=$(grep -oE "(from|import)[[:space:]]*\(?[[:space:]]*[\"']\.{0,2}/[^\"']+[\"']|[\"'][^\"']+\.wasm[\"']" "$file" |
          sed -E "s/.*[\"']([^\"']+)[\"']$/\1/") || true
        ;;
      *) refs= ;;
    esac
    while read -r ref; do
      ref=${ref%%[?#]*}
      case $ref in
        '' | *:* | //*) continue ;; # another site, data: or only a fragment
        /*) ;;
        *) ref=$(realpath -ms "$(dirname "${path}x")/$ref") ;;
      esac
      queue+=("$ref")
    done <<<"$refs"
  done
  rm -rf "$dir"
  ((${#problems[@]})) || return 0
  printf 'fresh-check: %s\n' "${problems[@]}"
  return 1
}

path_probe-pass() {
  local root
  root=$(fresh_root probe-pass)
  in_root "$root" 'echo "probe: passing"'
}

# A failed step ends the path: the second one must not run.
path_probe-fail() {
  local root
  root=$(fresh_root probe-fail)
  in_root "$root" 'echo "probe: failing on purpose"; exit 3'
  in_root "$root" 'echo "probe: went on after a failure"'
}

# Waits to be interrupted, with what makes a clean-up hard: a process that
# left the path's session, one that ignores TERM, and /dev held open.
path_probe-wait() {
  local root
  root=$(fresh_root probe-wait)
  in_root "$root" 'setsid sleep 600 & trap "" TERM; exec 3</dev/null; echo "probe: waiting"; sleep 600'
}

# ---- The table ----

minutes() {
  if (($1 >= 60)); then printf '%d min %02d s' $(($1 / 60)) $(($1 % 60)); else printf '%d s' "$1"; fi
}

# One line of the table: name, passed or failed, time, and for a failure the
# end of its log.
report() {
  printf '%-8s %-7s %12s\n' "$1" "$2" "$(minutes "$3")"
  if [[ $2 == failed ]]; then
    tail -n 15 "$4" | sed 's/^/    | /'
    echo "    (whole log: $4)"
  fi
}

# Runs a path and prints its line; a failure sets $failed. (Not called as a
# condition, which would switch errexit off in the path.)
check_path() {
  local name=$1 log=$cache/logs/$1.log start=$SECONDS status=0
  if [[ $name == web ]] && ! git -C "$project" cat-file -e "$sha:scripts/web.sh" 2>/dev/null; then
    printf '%-8s skipped: no scripts/web.sh\n' web
    return 0
  fi
  note "$name: running (log: $log)"
  ("path_$name") >"$log" 2>&1 &
  job=$!
  wait "$job" || status=$?
  job=
  cleanup
  if ((status == 0)); then
    report "$name" passed $((SECONDS - start))
  else
    report "$name" failed $((SECONDS - start)) "$log"
    failed=1
  fi
}

# ---- The self-test ----

# A root of a few of this machine's programs, enough for the probe paths,
# marked as the cached base so that no debootstrap runs.
make_tiny_base() {
  local base=$1/base program library
  mkdir -p "$base"/{proc,dev,tmp,var/cache/apt/archives}
  for program in bash env sleep setsid; do
    program=$(command -v "$program")
    cp -L --parents "$program" "$base"
    for library in $(ldd "$program" | grep -oE '/[^ ]+'); do cp -L --parents "$library" "$base"; done
  done
  [[ -e $base/bin ]] || ln -s usr/bin "$base/bin"
  echo "tiny root for the self-test" >"$1/base.ok"
}

# Runs fresh-check on the tiny root in the background ($run is its PID),
# with SIGINT not ignored (as a background command's is), like a run in a
# terminal.
self_test_start() {
  env --default-signal=INT bash "$self" --cache "$test_cache" "$@" >"$test_dir/out" 2>&1 &
  run=$!
}

# Waits for the run and checks what every exit path must leave: the exit
# status given, nothing mounted or running in the cache, no root, no mount
# that had to be detached, and output that matches the pattern given.
self_test_finish() { # case, exit status, pattern
  local status=0 problems=() tries
  for ((tries = 0; tries < 600; tries++)); do
    running "$run" || break
    sleep 0.1
  done
  if running "$run"; then
    problems+=("still running after a minute")
    kill -s KILL "$run"
  fi
  wait "$run" || status=$?
  ((status == $2)) || problems+=("exit status $status, not $2")
  [[ -z $(mounts_under "$test_cache") ]] || problems+=("still mounted: $(mounts_under "$test_cache" | tr '\n' ' ')")
  [[ -z $(processes_in "$test_cache") ]] || problems+=("processes left: $(processes_in "$test_cache" | tr '\n' ' ')")
  ! compgen -G "$test_cache/roots/*" >/dev/null || problems+=("roots left: $(compgen -G "$test_cache/roots/*" | tr '\n' ' ')")
  ! grep -q "detached lazily" "$test_dir/out" || problems+=("a mount was still busy")
  ! grep -q "does not stop" "$test_dir/out" || problems+=("a job did not stop")
  [[ $(cat "$test_dir/out") =~ $3 ]] || problems+=("the output does not match '$3'")
  self_test_verdict "$1" "${problems[@]}"
}

self_test_verdict() { # case, problems...
  if (($# == 1)); then
    echo "self-test: $1: passed"
    return
  fi
  echo "self-test: $1: FAILED"
  printf '    %s\n' "${@:2}"
  sed 's/^/    | /' "$test_dir/out"
  failures=$((failures + 1))
}

# Waits until the probe runs in its root, with everything mounted.
self_test_halfway() {
  local tries
  for ((tries = 0; tries < 300; tries++)); do
    grep -qs "probe: waiting" "$test_cache/logs/probe-wait.log" && return 0
    sleep 0.1
  done
  return 1
}

self_test() {
  make_tiny_base "$test_cache"
  self_test_start probe-pass
  self_test_finish success 0 $'(^|\n)probe-pass +passed +[0-9]+ s(\n|$)'
  self_test_start probe-fail
  self_test_finish failure 1 $'(^|\n)probe-fail +failed +[0-9]+ s\n    \\| probe: failing on purpose\n    \\(whole log: '

  local signal problems
  for signal in INT TERM; do
    rm -f "$test_cache/logs/probe-wait.log"
    self_test_start probe-wait
    problems=()
    if ! self_test_halfway; then
      problems+=("the probe never started")
    elif (($(mounts_under "$test_cache" | wc -l) != 5)); then
      problems+=("not the 5 mounts of a root: $(mounts_under "$test_cache" | tr '\n' ' ')")
    fi
    self_test_verdict "half-way: the probe runs in its root, 5 mounts" "${problems[@]}"
    if [[ $signal == INT && ${#problems[@]} == 0 ]]; then
      # A second run on the same cache is refused, touching nothing.
      problems=()
      if bash "$self" --cache "$test_cache" probe-pass >"$test_dir/second" 2>&1 ||
        ! grep -q "in use by another run" "$test_dir/second"; then
        problems+=("not refused: $(cat "$test_dir/second")")
      fi
      (($(mounts_under "$test_cache" | wc -l) == 5)) || problems+=("it touched the first run's mounts")
      self_test_verdict "a second run on the same cache is refused" "${problems[@]}"
    fi
    kill -s "$signal" "$run" || true
    self_test_finish "interrupted by SIG$signal" $((128 + $(kill -l "$signal"))) $'(^|\n)fresh-check: probe-wait: running'
  done

  # What a run killed outright (SIGKILL) left, the next one undoes.
  mkdir -p "$test_cache/roots/stale/proc"
  mount -t tmpfs stale "$test_cache/roots/stale/proc"
  self_test_start probe-pass
  self_test_finish "what a killed run left" 0 'undoing what a killed run left'

  if ((failures)); then
    echo "self-test: $failures case(s) failed"
    return 1
  fi
  echo "self-test: passed"
}

# ---- Main ----

paths=()
self_test_dir=
while (($#)); do
  case $1 in
    --cache) cache=${2:?--cache needs a folder} && shift ;;
    --cache=*) cache=${1#*=} ;;
    --rev) rev=${2:?--rev needs a commit} && shift ;;
    --rev=*) rev=${1#*=} ;;
    --refresh) refresh=yes ;;
    --keep) keep=yes ;;
    --self-test)
      self_test_dir=new
      if [[ -n ${2:-} && $2 != -* ]]; then self_test_dir=$2 && shift; fi
      ;;
    -h | --help)
      sed -n '3,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
      exit 0
      ;;
    -*) die "unknown option $1 (see --help)" ;;
    *)
      [[ " ${all_paths[*]} ${probe_paths[*]} " == *" $1 "* ]] || die "unknown path '$1': the paths are ${all_paths[*]}"
      paths+=("$1")
      ;;
  esac
  shift
done
((EUID == 0)) || die "run as root: it mounts and chroots"

if [[ -n $self_test_dir ]]; then
  if [[ $self_test_dir == new ]]; then
    test_dir=$(mktemp -d /tmp/fresh-check-self-test.XXXXXX)
    trap 'stop_processes_in "$test_dir"; unmount_under "$test_dir"; rm -rf --one-file-system "$test_dir"' EXIT
  else
    mkdir -p "$self_test_dir"
    test_dir=$(realpath "$self_test_dir")
    trap 'stop_processes_in "$test_dir"; unmount_under "$test_dir"; rm -rf --one-file-system "$test_dir/cache"' EXIT
  fi
  test_cache=$test_dir/cache
  failures=0
  self_test
  exit
fi

((${#paths[@]})) || paths=("${all_paths[@]}")
mkdir -p "$cache/logs"
cache=$(realpath "$cache")
[[ $cache != *[[:space:]\\*?[]* ]] || die "the cache folder's path must not hold spaces, backslashes or wildcards"
[[ $cache != / ]] || die "the cache folder cannot be /"
exec 9>"$cache/lock"
flock -n 9 || die "$cache is in use by another run"
locked=yes
trap 'trap "" INT TERM; set +e; cleanup' EXIT
trap 'note "interrupted: stopping what runs, undoing the mounts"; exit 130' INT
trap 'note "terminated: stopping what runs, undoing the mounts"; exit 143' TERM

# Holding the lock, anything still mounted or running in the cache is what a
# run killed outright left.
if [[ -n $(mounts_under "$cache") || -n $(processes_in "$cache") ]]; then
  note "undoing what a killed run left: $(mounts_under "$cache" | tr '\n' ' ')"
  cleanup
fi

sha=
for path in "${paths[@]}"; do
  if [[ $path != probe-* ]]; then
    need_host_tools
    sha=$(git -C "$project" rev-parse --verify "$rev^{commit}") || die "no commit '$rev'"
    note "checking $(git -C "$project" log -1 --format='%h %s' "$sha")"
    break
  fi
done

make_base
failed=0
for path in "${paths[@]}"; do check_path "$path"; done
exit "$failed"
