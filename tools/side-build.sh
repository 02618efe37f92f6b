# Sourced by the tools that need the modules built another way than the package build.
#   side_build DIR [cmake arguments...]
# builds into DIR, with the package importable from DIR/pkg; sets `python` to the real
# interpreter binary (not a launcher script in front of it).
python=$(python -c 'import sys; print(sys.executable)')

side_build() {
    local build=$1
    shift
    mkdir -p "$build/pkg/vandor"
    # the pure-Python modules are linked, not copied: the package then finds the tree's
    # pyproject.toml for its version, and edits reach side builds at once
    local f
    for f in src/vandor/*.py src/vandor/*.pyi src/vandor/py.typed; do
        [ -e "$f" ] && ln -sfn "$PWD/$f" "$build/pkg/vandor/${f##*/}"
    done
    # so are its subpackages (the command-line tool's); the built headers are the build's own
    local d
    for d in src/vandor/*/; do
        d=${d%/}
        case ${d##*/} in include | __pycache__) continue ;; esac
        [ -e "$d/__init__.py" ] && ln -sfn "$PWD/$d" "$build/pkg/vandor/${d##*/}"
    done
    local generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    cmake -S . -B "$build" "${generator[@]}" -DPython_EXECUTABLE="$python" \
        -DVANDOR_DEV_OUTPUT_DIR="$PWD/$build/pkg/vandor" "$@" >/dev/null
    cmake --build "$build" -j2
}
