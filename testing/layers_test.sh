#!/bin/sh
# Each folder's library links only the folders below it, so its sources may include only
# from those: an include that climbs (a component reaching for the main object) fails here.
set -eu
source=$1 layers=$2
status=0
while IFS=: read -r folder below; do
  allowed=" $folder $below "
  for file in "$source/$folder"/*.h "$source/$folder"/*.cpp; do
    case $file in *_test.cpp | *'*'*) continue ;; esac
    for used in $(sed -n 's|^#include "\([a-z]*\)/.*|\1|p' "$file" | sort -u); do
      case $allowed in *" $used "*) ;; *)
        echo "$file includes from $used/, above its layer ($folder: $below)" >&2
        status=1 ;;
      esac
    done
  done
done <"$layers"
[ $status = 0 ] && echo "every include stays within its layer"
exit $status
