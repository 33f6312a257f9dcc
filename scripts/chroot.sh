#!/usr/bin/env bash
# A Debian unstable chroot with the CPython versions that the machine's own system and pyenv
# lack (3.13's newest point release, 3.14, 3.15), kept outside the checkout so that later runs
# reuse it: $QUOR_CHROOT, by default ~/.cache/quor_ui/sid.
#
#   scripts/chroot.sh                  makes it when missing, installs what is missing, and says
#                                      which interpreters it has; safe to run again at any time
#   scripts/chroot.sh CMD ARGS...      the same, then runs CMD inside with the checkout mounted
#                                      at its own path
#
# Sourced (by venv.sh) it only defines the functions below. Needs root, debootstrap (installed
# from the host's apt sources when missing) and network access to the archive that the host's
# apt sources name; the archive's URL is read from them at each run.
chroot_dir=${QUOR_CHROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/quor_ui/sid}
chroot_versions=(3.13 3.14 3.15)
# valgrind and the sanitizer runtimes (which come with g++) serve valgrind.sh and asan.sh;
# nodejs runs pyright for typecheck.sh.
chroot_base_packages=(g++ make valgrind ca-certificates nodejs)

# The chroot is ready once its packages are in; a half-made one is never taken for ready.
chroot_ready() {
    [ -f "$chroot_dir/.quor-packages" ]
}

# The interpreter X.Y of the chroot (its path inside), or nothing.
chroot_python() {
    chroot_ready && [ -x "$chroot_dir/usr/bin/python$1" ] && echo "/usr/bin/python$1"
    return 0
}

# The first archive URL of the host's apt sources (deb822 or one-line format).
chroot_archive_url() {
    local f url
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        url=$(awk '$1 == "URIs:" && $2 !~ /security/ { print $2; exit }' "$f")
        [ -z "$url" ] || { echo "$url"; return; }
    done
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }'
}

# The host's pip configuration files.
chroot_pip_configs() {
    local conf
    for conf in /etc/pip.conf "$HOME/.pip/pip.conf" "$HOME/.config/pip/pip.conf" ${PIP_CONFIG_FILE:-}; do
        [ ! -f "$conf" ] || echo "$conf"
    done
}

# Local folders that pip's configuration names as package sources (find-links, file://
# indexes, whose parent holds the files the index links to), when they exist.
chroot_pip_dirs() {
    local d
    {
        chroot_pip_configs | xargs -r cat | grep -o 'file://[^ ]*' | sed 's|^file://||; s|/simple/*$||'
        chroot_pip_configs | xargs -r sed -n 's/^[[:space:]]*find-links[[:space:]]*=[[:space:]]*//p'
        echo "${PIP_FIND_LINKS:-}" | tr ' ' '\n'
    } | while IFS= read -r d; do
        [[ $d != /* || ! -d $d ]] || echo "$d"
    done | sort -u
}

# Runs "$@" inside the chroot, in a mount namespace of its own (so the mounts go away with the
# command, whatever happens to it): /proc, /dev and the checkout $root at the same path as
# outside (when $root is set), pip's local package folders read-only, the working directory kept. The environment is a clean one, plus what configures
# pip, pytest, the builds and the scripts.
chroot_run() {
    local keep=() name
    while IFS= read -r name; do
        keep+=("$name=${!name}")
    done < <(compgen -e | grep -E '^(PIP_|PYTEST|QUOR|HYPOTHESIS|SKBUILD_|(CXX|C|LD)FLAGS$|PYTHON(|HASHSEED|MALLOC|DEVMODE|WARNINGS|FAULTHANDLER)$|TERM$)' || true)
    QUOR_CHROOT_PIP_DIRS=$(chroot_pip_dirs) unshare --mount --propagation private -- /bin/bash -c '
        set -e
        dir=$1 root=$2 cwd=$3
        shift 3
        mount -t proc proc "$dir/proc"
        mount --rbind /dev "$dir/dev"
        for d in $QUOR_CHROOT_PIP_DIRS; do   # read-only, at the same paths
            mkdir -p "$dir$d"
            mount --bind -o ro "$d" "$dir$d"
        done
        if [ -n "$root" ]; then
            mkdir -p "$dir$root"
            mount --bind "$root" "$dir$root"
        fi
        exec chroot "$dir" /bin/sh -c "cd \"\$0\" 2>/dev/null || cd /; exec \"\$@\"" "$cwd" "$@"
    ' - "$chroot_dir" "$root" "$PWD" env -i HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${keep[@]}" "$@"
}

# Host files the chroot needs at the same paths: name resolution, pip's configuration and the
# certificate files that it and PIP_CERT name. Copied at each run: the host's may change.
chroot_copy_host_files() {
    local files=(/etc/resolv.conf) f conf
    while IFS= read -r conf; do
        files+=("$conf")
        while IFS= read -r f; do files+=("$f"); done < <(sed -n 's/^[[:space:]]*cert[[:space:]]*=[[:space:]]*//p' "$conf")
    done < <(chroot_pip_configs)
    [ -z "${PIP_CERT:-}" ] || files+=("$PIP_CERT")
    for f in "${files[@]}"; do
        [ -f "$f" ] || continue
        mkdir -p "$chroot_dir$(dirname "$f")"
        cp -fL "$f" "$chroot_dir$f"
    done
}

# Makes the chroot when missing and installs what it lacks.
chroot_make() {
    local url apt pkgs=() missing=() v
    mkdir -p "$(dirname "$chroot_dir")"
    exec 9>"$chroot_dir.lock"
    flock 9                                             # one maker at a time
    if [ ! -d "$chroot_dir" ]; then
        command -v debootstrap >/dev/null || apt-get install -y -q debootstrap >/dev/null
        url=$(chroot_archive_url)
        [ -n "$url" ] || { echo "chroot.sh: no archive URL in the host's apt sources" >&2; return 1; }
        rm -rf "$chroot_dir.partial"
        # Its own mount namespace: a debootstrap cut short leaves no mount behind.
        unshare --mount --propagation private -- \
            debootstrap --variant=minbase sid "$chroot_dir.partial" "$url" >"$chroot_dir.debootstrap.log" 2>&1 ||
            { tail -n 20 "$chroot_dir.debootstrap.log" >&2; return 1; }
        mv "$chroot_dir.partial" "$chroot_dir"
    fi
    chroot_copy_host_files
    # Unstable's copy in the archive is a snapshot whose Release file is past its Valid-Until.
    apt=(apt-get -q -o Acquire::Check-Valid-Until=false -o APT::Install-Recommends=false)
    local want="${chroot_base_packages[*]} ${chroot_versions[*]}"
    if [ "$(cat "$chroot_dir/.quor-packages" 2>/dev/null)" != "$want" ]; then
        local root=                                     # apt needs no checkout
        chroot_run "${apt[@]}" update >/dev/null
        pkgs=("${chroot_base_packages[@]}")
        for v in "${chroot_versions[@]}"; do
            if [ "$(chroot_run apt-cache policy "python$v-dev" "python$v-venv" |
                    awk '$1 == "Candidate:" && $2 != "(none)"' | wc -l)" -eq 2 ]; then
                pkgs+=("python$v-dev" "python$v-venv")
            else
                missing+=("$v")
            fi
        done
        chroot_run "${apt[@]}" install -y "${pkgs[@]}" >/dev/null
        [ ${#missing[@]} -eq 0 ] ||
            echo "chroot.sh: Debian unstable no longer has CPython ${missing[*]}; going on without" >&2
        echo "$want" >"$chroot_dir/.quor-packages"
        chroot_copy_host_files                          # over what ca-certificates wrote
    fi
    exec 9>&-
}

# Says which interpreters the chroot has.
chroot_list() {
    local v
    for v in "${chroot_versions[@]}"; do
        [ -z "$(chroot_python "$v")" ] || echo "chroot.sh: $chroot_dir has $(chroot_run "/usr/bin/python$v" -VV 2>/dev/null | head -n 1)" >&2
    done
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    root=$(cd "$(dirname "$0")/.." && pwd)
    chroot_make
    if [ $# -eq 0 ]; then
        chroot_list
    else
        chroot_run "$@"
    fi
fi
