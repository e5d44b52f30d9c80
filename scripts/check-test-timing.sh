#!/usr/bin/env bash
# Fails, naming the line, where a test's verdict depends on how fast the
# machine is: a measured duration held to an upper bound by an assertion (or
# returned as a verdict, or failing the test in an if). A measured duration
# is a QElapsedTimer read, a thread's CPU time, a helper that gives one, or
# the difference of two clock readings (a std::chrono clock's now(),
# clock_gettime, gettimeofday, QDateTime and QTime "current"), also when
# the readings were kept in names and subtracted later, also through a
# variable or a function of the same file that holds or returns one, through
# duration_cast and count(); in a script, a difference of `date +%s...`,
# $SECONDS or $EPOCHREALTIME readings. Each C++ statement is read whole, so
# an assertion the formatter wrapped over several lines counts as one, and
# so does a script line continued with \, && or ||. Lower bounds ("it waited
# its limit") and deadlines for waiting (QTRY_*, runUntil, qWaitFor, wait_for,
# a polling loop, a while/until condition, an if that does not fail the test)
# pass. A test asserts what the code does; speed is measured in bench/.
#
# It does not see: timings taken in a helper of another file (only a file's
# own names are learnt), a duration passed to a function and compared there,
# or kept in a container or a struct's field and compared later, a bool made
# of a comparison in one statement and asserted in another, a clock it does
# not know (a Scheduler's nowNs() is not taken for one, since a test's may be
# fake), readings made by brace initialisation (`auto t0{now()}`), a macro of
# the test's own that hides the comparison, a wait whose short deadline is
# itself the verdict (a poll that fails the test after a second), and timing
# in Python or anything but C++ and shell.
#   check-test-timing.sh [FILE...]   (default: every test source)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(find platform quillmar ravelgrid tools -path '*/tests/*' -type f \
    \( -name '*.cpp' -o -name '*.h' -o -name '*.sh' \) | sort)
fi

# Each statement of a C++ file as one record, "LINE<TAB>KIND<TAB>...", LINE
# being where it starts. Comments go, string and character literals are
# emptied, lines are joined up to the ; { or } that ends a statement outside
# brackets; a body inside brackets (a lambda's) gives statements of its own and
# is left as {} in the one around it. KIND is S for every statement, B for
# the text before a body's {, A for an assertion (then its macro and its
# arguments, one field each) and R for a return.
read -r -d '' join_cpp <<'AWK'
function add(s) {
  if (stmt == "") {
    if (s == " ") return
    start = NR
  }
  stmt = stmt s
}
function emit(   t, m, args, i, c, d, n, arg, failing, cond, branch) {
  t = stmt
  stmt = ""
  gsub(/  +/, " ", t)
  sub(/^ /, "", t)
  sub(/ $/, "", t)
  if (t == "" || t == ";") return
  print start "\tS\t" t
  # The statement a loop or a branch holds without braces; a branch that
  # fails the test asserts that its condition is false.
  failing = ""
  while (match(t, /^(for|while|if|switch|else if) *\(/) || match(t, /^(else|do) /)) {
    if (substr(t, RLENGTH, 1) != "(") {
      t = substr(t, RLENGTH + 1)
      continue
    }
    d = 1
    for (i = RLENGTH + 1; i <= length(t) && d > 0; i++) {
      c = substr(t, i, 1)
      if (c == "(") d++
      if (c == ")") d--
    }
    cond = substr(t, RLENGTH + 1, i - RLENGTH - 2)
    branch = t ~ /^(if|else if)/
    t = substr(t, i)
    sub(/^ +/, "", t)
    failing = branch && t ~ /^(ADD_FAILURE|FAIL|GTEST_FAIL|QFAIL) *\(/ ? cond : ""
  }
  if (failing != "") {
    print start "\tA\tif\t " failing
  } else if (match(t, /^(EXPECT|ASSERT|QVERIFY|QCOMPARE)[A-Z0-9_]* *\(/)) {
    m = substr(t, 1, RLENGTH)
    sub(/ *\($/, "", m)
    args = substr(t, RLENGTH + 1)
    d = 0; n = ""; arg = ""
    for (i = 1; i <= length(args); i++) {
      c = substr(args, i, 1)
      if (c == "(" || c == "[" || c == "{") d++
      if (c == ")" || c == "]" || c == "}") {
        if (d == 0) break
        d--
      }
      if (c == "," && d == 0) {
        n = n "\t " arg
        arg = ""
        continue
      }
      arg = arg c
    }
    print start "\tA\t" m n "\t " arg
  } else if (t ~ /^return[ (]/) {
    print start "\tR\t" t
  }
}
function open_body(   t) {
  t = stmt
  sub(/^ +/, "", t)
  print (stmt == "" ? NR : start) "\tB\t" t
  if (depth > 0) {
    # A body inside brackets: its statements stand alone.
    top++
    saved[top] = stmt; saveddepth[top] = depth; savedstart[top] = start
    stmt = ""; depth = 0
  } else {
    emit()
  }
}
function close_body() {
  if (top > 0) {
    emit()
    stmt = saved[top] "{}"; depth = saveddepth[top]; start = savedstart[top]
    top--
  } else {
    add("}")
    emit()
  }
}
BEGIN { state = "code"; depth = 0; top = 0; stmt = ""; skip = 0 }
{
  line = $0
  gsub(/\t/, " ", line)
  if (skip) {
    skip = line ~ /\\$/
    next
  }
  if (state == "code" && stmt == "" && line ~ /^ *#/) {
    skip = line ~ /\\$/
    next
  }
  n = length(line)
  i = 1
  while (i <= n) {
    c = substr(line, i, 1)
    if (state == "block") {
      if (c == "*" && substr(line, i + 1, 1) == "/") { state = "code"; i += 2; continue }
      i++
      continue
    }
    if (state == "str" || state == "chr") {
      if (c == "\\") { i += 2; continue }
      if ((state == "str" && c == "\"") || (state == "chr" && c == "'")) { add(c); state = "code" }
      i++
      continue
    }
    if (state == "raw") {
      k = index(substr(line, i), rawend)
      if (k == 0) { i = n + 1; continue }
      i += k - 1 + length(rawend)
      add("\"")
      state = "code"
      continue
    }
    if (c == "/" && substr(line, i + 1, 1) == "/") break
    if (c == "/" && substr(line, i + 1, 1) == "*") { state = "block"; i += 2; continue }
    if (c == "\"") {
      before = substr(line, 1, i - 1)
      if (before ~ /(^|[^A-Za-z0-9_])(u8|u|U|L)?R$/) {
        rest = substr(line, i + 1)
        p = index(rest, "(")
        rawend = ")" substr(rest, 1, p - 1) "\""
        add("\"")
        state = "raw"
        i += p + 1
        continue
      }
      add(c)
      state = "str"
      i++
      continue
    }
    if (c == "'") {
      # A digit separator (1'000) or a character literal.
      j = i - 1
      while (j >= 1 && substr(line, j, 1) ~ /[0-9A-Za-z_.']/) j--
      if (j < i - 1 && substr(line, j + 1, 1) ~ /[0-9]/) { i++; continue }
      add(c)
      state = "chr"
      i++
      continue
    }
    if (c == "(" || c == "[") depth++
    if ((c == ")" || c == "]") && depth > 0) depth--
    if (c == "{") { open_body(); i++; continue }
    if (c == "}" && depth == 0) { close_body(); i++; continue }
    add(c)
    if (c == ";" && depth == 0) emit()
    i++
  }
  if (state == "str" || state == "chr") state = "code"
  add(" ")
}
END { emit() }
AWK

# Names a C++ file gives to clock readings: what is assigned a clock's now()
# or a "current" time (or a copy of a reading), a QElapsedTimer, a timespec
# filled by clock_gettime.
cpp_readings() {
  local records=$1 names="" found
  while :; do
    found=$(
      {
        grep -oP '^\d+\tS\t.*?\K(?<![\w.>])[A-Za-z_]\w*(?=\s*=\s*(?:[\w:]*[Cc]lock::now\(\)|QDateTime::current\w*\(\)|QTime::currentTime\(\)|std::time\(nullptr\))\s*;$)' <<<"$records"
        grep -oP '^\d+\tS\t.*\bQElapsedTimer\s+\K[A-Za-z_]\w*' <<<"$records"
        grep -oP '\b(?:clock_gettime\s*\([^,()]*,|gettimeofday\s*\()\s*&\s*\K[A-Za-z_]\w*' <<<"$records"
        [ -z "$names" ] ||
          grep -oP '^\d+\tS\t.*?\K(?<![\w.>])[A-Za-z_]\w*(?=\s*=\s*(?:'"$(paste -sd'|' <<<"$names")"')\s*;$)' <<<"$records"
      } | grep -vxE 'return|const|auto' | sort -u
    )
    [ "$found" = "$names" ] && break
    names=$found
  done
  echo "$names"
}

# A measurement in C++: an elapsed timer read, a clock difference, or a
# helper that gives one (threadCpuNs() - start, secondsSince(start)); with the
# file's readings, the difference of two of them.
clock_cpp='\.(elapsed|nsecsElapsed|restart|durationElapsed)\(\)|_clock::now\(\) *-|[A-Za-z_0-9]*[Cc]pu[A-Za-z_0-9]*\(\) *-|[A-Za-z_0-9]*Since\('

measurement_cpp() {
  local readings=$1 r
  if [ -z "$readings" ]; then
    echo "$clock_cpp"
    return
  fi
  r="($(paste -sd'|' <<<"$readings"))"
  local reading="((^|[^A-Za-z_0-9.>\t])$r(\.[A-Za-z_0-9]+)*|[A-Za-z_0-9:]*[Cc]lock::now\(\))"
  echo "$clock_cpp|$reading *- *\(? *$reading([^A-Za-z_0-9(]|$)|(^|[^A-Za-z_0-9.>\t])$r\.(msecsTo|secsTo|nsecsTo)\("
}

# Names a C++ file gives to measurements: variables assigned one, and
# functions or lambdas that return one; then what is made of those, until
# nothing new turns up.
cpp_names() {
  local records=$1 base=$2 names="" timed found
  while :; do
    timed="($base${names:+|(^|[^A-Za-z_0-9.>\t])($(paste -sd'|' <<<"$names"))([^A-Za-z_0-9]|\$)})"
    found=$(
      {
        grep -oP '^\d+\tS\t.*?\K(?<![\w.>])[A-Za-z_]\w*(?=\s*[-+]?=\s*[^=;]*'"$timed"')' <<<"$records"
        TIMED=$timed awk -F'\t' '
          BEGIN { timed = ENVIRON["TIMED"] }
          $2 == "B" {
            if (match($3, /[A-Za-z_][A-Za-z_0-9]* *= *\[[^]]*\]/)) {
              name = substr($3, RSTART, RLENGTH); sub(/ *=.*/, "", name)
            } else if ($3 !~ /^(if|for|while|switch|catch|else|do|try|namespace|struct|class|enum|union)([^A-Za-z_0-9]|$)/ &&
                       match($3, /[A-Za-z_][A-Za-z_0-9]* *\(.*\)( *(const|noexcept|override|final))*( *-> *[^ ]+)? *$/)) {
              name = substr($3, RSTART, RLENGTH); sub(/ *\(.*/, "", name)
            }
          }
          $2 == "R" && $3 ~ timed && name != "" { print name }
        ' <<<"$records"
      } | grep -vxE 'return|const|auto' | sort -u
    )
    [ "$found" = "$names" ] && break
    names=$found
  done
  echo "$names"
}

check_cpp() {
  local file=$1 records readings base names timed upper lower
  records=$(awk "$join_cpp" "$file")
  readings=$(cpp_readings "$records")
  base=$(measurement_cpp "$readings")
  names=$(cpp_names "$records" "$base")
  timed="($base${names:+|(^|[^A-Za-z_0-9.>\t])($(paste -sd'|' <<<"$names"))([^A-Za-z_0-9]|\$)})"
  # A measurement below a bound, or a bound above it; and the reverse.
  upper="$timed[\w.()]*\s*<(?!<)|(?<=\s)>=?\s*[(\s]*$timed|!\s*[\w.>-]*hasExpired\s*\("
  lower="$timed[\w.()]*\s*>(?!>)|(?<=\s)<=?\s*[(\s]*$timed|(?<!!)(?<![\w.>-])[\w.>-]*hasExpired\s*\("
  {
    # The first argument of a less-than, the second of a greater-than.
    grep -P '^\d+\tA\t(EXPECT|ASSERT|QCOMPARE)_L[TE]\t[^\t]*'"$timed" <<<"$records"
    grep -P '^\d+\tA\t(EXPECT|ASSERT|QCOMPARE)_G[TE]\t[^\t]*\t[^\t]*'"$timed" <<<"$records"
    grep -P '^\d+\tA\t(EXPECT|ASSERT)_NEAR\t([^\t]*\t)?[^\t]*'"$timed" <<<"$records"
    grep -P '^\d+\tA\t(EXPECT|ASSERT)_THAT\t[^\t]*'"$timed"'.*\b(Lt|Le)\s*\(' <<<"$records"
    # A condition that holds it below a bound: asserted true, or returned;
    # one that holds it above a bound: asserted false, or failing the test.
    grep -P '^\d+\tA\t(QVERIFY2?|EXPECT_TRUE|ASSERT_TRUE)\t[^\t]*('"$upper"')' <<<"$records"
    grep -P '^\d+\tA\t(QCOMPARE|EXPECT_EQ|ASSERT_EQ)\t.*('"$upper"')' <<<"$records"
    grep -P '^\d+\tA\t((EXPECT|ASSERT)_FALSE|if)\t[^\t]*('"$lower"')' <<<"$records"
    grep -P '^\d+\tR\treturn\b.*('"$upper"')' <<<"$records"
  } | sort -n -u -t$'\t' -k1,1 | awk -F'\t' -v file="$file" '{
    text = $3
    if ($2 == "A") {
      text = text ($3 == "if" ? " (" : "(")
      for (i = 4; i <= NF; i++) {
        sub(/^ +/, "", $i)
        text = text (i > 4 ? ", " : "") $i
      }
      text = text ")"
      if ($3 == "if") text = text " fails the test"
    }
    print file ":" $1 ": " text
  }'
}

# Shell readings: `date +%s...`, $SECONDS, $EPOCHREALTIME and $EPOCHSECONDS.
clock_sh='\$\(date \+%s[^)]*\)|\$\{?(SECONDS|EPOCHREALTIME|EPOCHSECONDS)\b\}?|\b(SECONDS|EPOCHREALTIME|EPOCHSECONDS)\b'

check_sh() {
  local file=$1 text readings r clocks names more meas fails found
  # Lines continued with \, && or || are read as one.
  text=$(awk '{ if (cont != "") { $0 = cont " " $0; cont = "" } else start = NR }
              /(\\|&&|\|\|) *$/ { cont = $0; sub(/\\ *$/, "", cont); next }
              { print start "\t" $0 }' "$file")
  # Variables holding a reading; then those holding a difference that
  # involves one, and copies of those.
  readings=$(grep -oP '^\d+\t.*?\b\K\w+(?==("|)('"$clock_sh"')\1(\s|;|$))' <<<"$text" | sort -u)
  clocks=$clock_sh
  if [ -n "$readings" ]; then
    r=$(paste -sd'|' <<<"$readings")
    clocks+='|\$\{?('"$r"')\b\}?|\b('"$r"')\b'
  fi
  names=$(grep -oP '^\d+\t.*?\b\K\w+(?==\$\(\((?=[^;]*-)[^;]*('"$clocks"'))' <<<"$text" | sort -u)
  if [ -n "$names" ]; then
    more=$(grep -oP '^\d+\t.*?\b\K\w+(?==\$\{?('"$(paste -sd'|' <<<"$names")"')\b)' <<<"$text" | sort -u)
    names=$(printf '%s\n%s\n' "$names" "$more" | sed '/^$/d' | sort -u)
  fi
  # A measurement: an arithmetic difference of readings, or a name for one.
  meas='("?\$\(\((?=[^]]*?-)[^]]*?('"$clocks"')[^]]*?\)\)"?'
  [ -z "$names" ] || meas+='|"?\$\{?('"$(paste -sd'|' <<<"$names")"')\b\}?"?|\b('"$(paste -sd'|' <<<"$names")"')\b'
  meas+=')'
  # A test that fails when false (|| fail) holding it below a bound, or one
  # that fails when true (&& fail, then fail) holding it above; outside a
  # while/until condition.
  fails='(fail|exit [1-9])'
  found=$(
    {
      grep -P '^\d+\t(?!\s*(while|until)\b).*(\[\[?\s*'"$meas"'\s+-l[te]\s|-g[te]\s+'"$meas"'\s*\]\]?|\(\(\s*'"$meas"'\s*<(?!<)|[^<>-]>=?\s*'"$meas"'\s*\)\))[^|&;]*\|\|\s*[^|&;]*'"$fails" <<<"$text"
      grep -P '^\d+\t(?!\s*(while|until)\b).*(\[\[?\s*'"$meas"'\s+-g[te]\s|-l[te]\s+'"$meas"'\s*\]\]?|\(\(\s*'"$meas"'\s*>(?!>)|[^<>-]<=?\s*'"$meas"'\s*\)\))[^|&;]*(&&|;\s*then)\s*[^|&;]*'"$fails" <<<"$text"
    } | sort -n -u
  )
  [ -z "$found" ] || sed "s|^\([0-9]*\)\t|$file:\1: |" <<<"$found"
}

# Only a file that reads a clock can hold a measurement.
mapfile -t timing < <(grep -lE 'now\(|[Ee]lapsed|restart\(|clock_gettime|gettimeofday|QDateTime::current|QTime::current|time\(nullptr|[Cc]pu|Since\(|secsTo|hasExpired|SECONDS|EPOCH|date \+%s' -- "${files[@]}")
found=$(
  for file in "${timing[@]}"; do
    # Its own samples end in .sample after the language's suffix.
    case ${file%.sample} in
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
