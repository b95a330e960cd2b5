# Sourced by the tools scripts. find_python X.Y prints the path of a working
# CPython X.Y: on PATH, else under pyenv. A pyenv shim for a version that is not
# selected fails the check and is passed over.
find_python() {
  local v=$1 c
  for c in "$(command -v "python$v" || true)" \
           "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/"python$v" \
           /root/.pyenv/versions/"$v".*/bin/"python$v"; do
    if [ -n "$c" ] && [ -x "$c" ] &&
       "$c" -c "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$v')" 2>/dev/null; then
      echo "$c"
      return 0
    fi
  done
  return 1
}
