# Shared helpers for the project's scripts.
log() { printf '== %s\n' "$*" >&2; }
