#!/bin/sh
# A folder's sources, tests included, may include only from the folders its library links,
# and a header of testing/ only where all it includes may be; an include that climbs, in
# either spelling, fails. The build gives every library the source root: this is the wall.
set -eu
source=$1 layers=$2
known=" testing $(cut -d: -f1 "$layers" | tr '\n' ' ') "
include='^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]'
# The project's folders that a file includes from, and those its testing/ headers need.
needs() {
  sed -n "s|$include\\([a-z_]*\\)/.*|\\1|p" "$1" | while read -r layer; do
    case $known in *" $layer "*) echo "$layer" ;; esac
  done
  sed -n "s|$include\\(testing/[a-z_.]*\\)[>\"].*|\\1|p" "$1" | while read -r header; do
    needs "$source/$header"
  done
}
status=0
while IFS=: read -r folder below; do
  for file in "$source/$folder"/*.h "$source/$folder"/*.cpp; do
    [ -e "$file" ] || continue
    for layer in $(needs "$file" | sort -u); do
      case " $folder $below testing " in *" $layer "*) ;; *)
        echo "$file includes from $layer/, above its layer ($folder: $below)" >&2
        status=1 ;;
      esac
    done
  done
done <"$layers"
[ $status = 0 ] && echo "every include stays within its layer"
exit $status
