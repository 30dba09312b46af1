# source_tree SRC DEST: copies the source tree as a fresh clone has it plus
# uncommitted edits, so that the developer's build trees neither go into a
# package build nor get dirtied by it.  Sourced by the package builds.
source_tree() {
  local src=$1 dest=$2
  mkdir -p "$dest"
  if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$src" && git ls-files -z --cached --others --exclude-standard |
       while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
       tar --null -T - -cf -) | tar -xf - -C "$dest"
  else
    tar -C "$src" --exclude='./build*' --exclude='./obj-*' -cf - . | tar -xf - -C "$dest"
  fi
}
