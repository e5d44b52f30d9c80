#!/usr/bin/env bash
# Fails, naming the line, where a test's verdict depends on how fast the
# machine is: a measured duration (a QElapsedTimer, a steady_clock
# difference, a thread's CPU time, a `date` or $SECONDS difference in a
# script) held to an upper bound. A test asserts what the code does; speed
# is measured in bench/. Lower bounds ("it waited its limit") and deadlines
# for waiting (QTRY_*, runUntil, wait_for, a polling loop) pass.
#   check-test-timing.sh [FILE...]   (default: every test source)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(find platform quillmar ravelgrid tools -path '*/tests/*' -type f \
    \( -name '*.cpp' -o -name '*.h' -o -name '*.sh' \) | sort)
fi

# A measurement in C++: an elapsed timer read, a clock difference, or a
# helper that gives one (threadCpuNs() - start, secondsSince(start)).
clock_cpp='\.(elapsed|nsecsElapsed|restart)\(\)|_clock::now\(\) *-|[A-Za-z_0-9]*[Cc]pu[A-Za-z_0-9]*\(\) *-|[A-Za-z_0-9]*Since\('

# Names a C++ file gives to measurements: variables assigned one, and
# functions or lambdas that return one; then what is made of those, until
# nothing new turns up.
cpp_names() {
  local file=$1 names="" timed found
  while :; do
    timed="($clock_cpp${names:+|(^|[^A-Za-z_0-9.>])($(paste -sd'|' <<<"$names"))([^A-Za-z_0-9]|\$)})"
    found=$(
      {
        grep -oP '\b[A-Za-z_]\w*(?=\s*=\s*[^=;]*'"$timed"')' "$file"
        awk -v timed="$timed" '
          match($0, /[A-Za-z_][A-Za-z_0-9]* *= *\[/) { name = substr($0, RSTART, RLENGTH); sub(/ *= *\[$/, "", name) }
          /^[A-Za-z_].*[A-Za-z_0-9]\(.*\)( const)?$/ { line = $0; sub(/\(.*$/, "", line); n = split(line, w, /[ *&]+/); name = w[n] }
          /return/ && $0 ~ timed {
            if (match($0, /[A-Za-z_][A-Za-z_0-9]*\([^()]*\)( const)? *\{ *return/)) {
              one = substr($0, RSTART, RLENGTH); sub(/\(.*$/, "", one); print one
            } else if (name != "") print name
          }
        ' "$file"
      } | grep -vxE 'return|const|auto' | sort -u
    )
    [ "$found" = "$names" ] && break
    names=$found
  done
  echo "$names"
}

check_cpp() {
  local file=$1 names timed
  names=$(cpp_names "$file")
  timed="($clock_cpp${names:+|\b($(paste -sd'|' <<<"$names"))\b})"
  # Loop and branch conditions are polls and deadlines, not verdicts.
  grep -nP '^\s*(EXPECT|ASSERT)_L[TE]\s*\(\s*[^,]*'"$timed"'|^\s*(EXPECT|ASSERT)_G[TE]\s*\([^,]*,[^;]*'"$timed"'|^\s*(QVERIFY2?|QCOMPARE|EXPECT_TRUE|ASSERT_TRUE|return)\b.*'"$timed"'[\w.()]*\s*<(?!<)|^\s*(QVERIFY2?|EXPECT_TRUE|ASSERT_TRUE|return)\b.*[^->]>=?\s*'"$timed" "$file" |
    sed "s|^|$file:|"
}

check_sh() {
  local file=$1 names more var
  # Variables holding a difference of `date +%s...` or $SECONDS readings,
  # and those copied from them.
  names=$(grep -oP '\b\w+(?==\$\(\(.*(date \+%s|SECONDS).*-)' "$file" | sort -u)
  if [ -n "$names" ]; then
    more=$(grep -oP '\b\w+(?==\$\{?('"$(paste -sd'|' <<<"$names")"')\b)' "$file" | sort -u)
    names=$(printf '%s\n%s\n' "$names" "$more" | sed '/^$/d' | sort -u)
  fi
  var='(\$\(\((SECONDS|\$\(date)[^)]*-[^)]*\)\)'
  [ -z "$names" ] || var+='|"?\$\{?('"$(paste -sd'|' <<<"$names")"')\}?"?'
  var+=')'
  # A comparison that fails the test, outside a while/until condition.
  grep -nP '^(?!\s*(while|until)\b).*(\[\[?\s*'"$var"'\s+-l[te]\s|-g[te]\s+'"$var"'\s*\]).*(\|\||\bthen\b)' "$file" |
    grep -P 'fail|exit [1-9]' | sed "s|^|$file:|"
}

found=$(
  for file in "${files[@]}"; do
    case $file in
      *.sh) check_sh "$file" ;;
      *) check_cpp "$file" ;;
    esac
  done
)
if [ -n "$found" ]; then
  echo "$found"
  echo "test_timing: these lines hold how long something took to a bound, which a busy machine breaks." >&2
  echo "test_timing: assert what the code does (which thread works, what it waits for, how many" >&2
  echo "test_timing: operations it makes) and time it in bench/; deadlines for waiting are fine." >&2
  exit 1
fi
echo "test_timing: no test holds a measured duration to an upper bound (${#files[@]} files)"
