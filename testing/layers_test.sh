#!/bin/sh
# Each folder's library links only the folders below it, so its sources, tests included, may
# include only from those: an include that climbs (a component or its test reaching for the
# main object), in either spelling, fails here. A header of testing/ may be included where
# everything it includes may be. The build gives every library the source root, so this
# test is the wall between the layers.
set -eu
source=$1 layers=$2
known=" testing $(cut -d: -f1 "$layers" | tr '\n' ' ') "
# The project's folders that files include from, one a line.
included() {
  sed -n 's|^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]\([a-z_]*\)/.*|\1|p' "$@" | sort -u |
    while read -r layer; do
      case $known in *" $layer "*) echo "$layer" ;; esac
    done
}
# What including the headers of testing/ that `file` includes takes: their own includes, and
# those of the testing/ headers they include in turn.
testing_needs() {
  sed -n 's|^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]\(testing/[a-z_.]*\)[>"].*|\1|p' "$1" |
    while read -r header; do
      included "$source/$header"
      [ "${2-}" = nested ] || testing_needs "$source/$header" nested
    done
}
status=0
while IFS=: read -r folder below; do
  allowed=" $folder $below testing "
  for file in "$source/$folder"/*.h "$source/$folder"/*.cpp; do
    [ -e "$file" ] || continue
    for layer in $(included "$file") $(testing_needs "$file"); do
      case $allowed in *" $layer "*) ;; *)
        echo "$file includes from $layer/, above its layer ($folder: $below)" >&2
        status=1 ;;
      esac
    done
  done
done <"$layers"
[ $status = 0 ] && echo "every include stays within its layer"
exit $status
