#!/usr/bin/env bash
# twparser on rule texts.  A case is a kind, a rule text (printf escapes,
# <N:TEXT> for TEXT N times), then ">>" and the parsed file, or "!>" and the
# message of a refusal (exit 1).  Kind C wraps a condition into an alarm, A
# lines into an action (the parsed line ends with \n), F takes the whole file.
. "${0%/*}/harness.sh" "$@"
rep() {
  local s=$1 r i
  while [[ $s =~ \<([0-9]+):([^>]*)\> ]]; do
    r= && for ((i = 0; i < BASH_REMATCH[1]; i++)); do r+=${BASH_REMATCH[2]}; done && s=${s/"${BASH_REMATCH[0]}"/$r}
  done
  printf '%s' "$s"
}
cases() {
  while IFS= read -r line; do
    local kind=${line%% *} in=${line#* } want st=0 s=0 n got
    if [[ $in == *' >>'* ]]; then want=${in#* >>} in=${in%% >>*} want=${want# }; else want=${in#* !> } in=${in%% !> *} st=1; fi
    in=$(rep "$in") want=$(rep "$want") n=$((3 + $(printf "$in" | tr -cd '\n' | wc -c)))
    [ $kind$st != C0 ] || want="WHEN $want #line:1-$n-$n\n\n"
    [ $kind$st != A0 ] || want="WHEN (a==1) #line:1-3-$n\n$want"
    case $kind in C) in="WHEN ($in)\nEXEC\nEND\n" ;; A) in="WHEN (a == 1)\nEXEC\n${in}END\n" ;; esac
    printf "$in" >in.txt && printf "$want$([ $st = 0 ] || echo '\n')" >want.txt && rm -f out.txt
    twparser in.txt out.txt >/dev/null 2>err.txt || s=$?
    [ $st = 0 ] && got=out.txt || got=err.txt
    [ $s = $st ] && cmp -s want.txt $got && { [ $st = 1 ] || [ ! -s err.txt ]; } ||
      { diff want.txt $got >&2 || true; fail "exit $s: $line"; }
  done
}
# Negation pushed into the operators, AND before OR, every group bracketed.
cases <<'EOF'
C !(a == 1 | b == 2 & c == 3) >> ((a!=1)&((b!=2)|(c!=3)))
C !(a == 1) & !(b != 2) & !(c <= 3) & !(d < 4) & !(e >= 5) & !(f > 6) >> ((((((a!=1)&(b==2))&(c>3))&(d>=4))&(e<5))&(f<=6))
C tm == {Mon-Fri}  -\t- \\\n {09:00-17:00}\t - >> (tm=={Mon-Fri} - - {09:00-17:00} -)
C source == a | socks.pid > 1 & usr == u & error == e >> ((source==a)|(((socks.pid>1)&(usr==u))&(error==e)))
C srcx == $net & src.x == END & $a\\b == when >> (((srcx==$net)&(src.x==END))&($a\\b==when))
C a == 1 &\n# a comment line\n\n   b == 2 >> ((a==1)&(b==2))
C ACCESS[!(src == 1.2.3.4 & dst == x)] > 1 >> (ACCESS[(src!=1.2.3.4)|(dst!=x)]>1)
C DURATION[usr == b | err == e, src, app] >= 60 >> (DURATION[(usr==b)|(err==e),src,app]>=60)
C 5 <= TRAFFIC[app, usr, err] >> (5<=TRAFFIC[app,usr,err])
C !(FAIL[src] > 5) | IN[dst] == OUT[tm == $w] >> ((FAIL[src]<=5)|(IN[dst]==OUT[tm==$w]))
EOF
# Definitions kept, comments and blank lines dropped, actions joined, line markers right.
cases <<'EOF'
F # net\nmynet = 10.1.0.0/255.255.0.0\nalert_time=10\n\nWHEN (src == 1.2.3.4 & !(app == t))\nEXEC\n  echo src | mail\nEND\n >> mynet= 10.1.0.0/255.255.0.0\nalert_time=10\nWHEN ((src==1.2.3.4)&(app!=t)) #line:5-7-8\n echo src | mail ; \n
F a =\tEXEC = c # d & !e \t\n >> a=\tEXEC = c # d & !e \t\n
F # only\n#comments\n\n  \n >>
F a = 1 \\\n 2\nb = x\\\n# skipped\ny\n >> a= 1   2\nb= x y\n
F WHEN (a == 1) EXEC\necho x\nEND\n >> WHEN (a==1) #line:1-2-3\necho x ; \n
F # c\n\nWHEN (a == 1 &\n# note\n b == 2)\nEXEC\necho x\n\necho y\nEND\nc=2\n >> WHEN ((a==1)&(b==2)) #line:3-7-10\necho x ; echo y ; \nc=2\n
F a = 1\r\n\r\nWHEN (a == 1)\r\nEXEC\r\necho hi\r\n\r\nEND\r\n >> a= 1\r\nWHEN (a==1) #line:3-5-7\necho hi  ; \n
A \techo \t "a   b"\t  'c'\n  y\n >>  echo "a b" 'c' ;  y ; \n
A echo a\\\n  b\\\nc\n >> echo a bc ; \n
A a\n\n \t\n# comment\n # indented\nb\n >> a ;  # indented ; b ; \n
A a&&b||!c x<=y x!=y ( ) [ ] , = ; %% # \\"\n >> a&&b||!c x<=y x!=y ( ) [ ] , = ; %% # \\" ; \n
A echo FAIL[src == x, src] IN[!(dst == y)] TRAFFIC[usr,err]\n >> echo    FAIL[src==x,src]   IN[dst!=y] TRAFFIC[usr,err] ; \n
A echo FAIL[src,\n dst]\n >> echo  ;  FAIL[src,dst] ; \n
EOF
# Each refusal names the line and the token where the text went wrong; the
# limits are words of 79, condition texts of 127 and statements of 510 bytes.
cases <<'EOF'
F src = 1\n !> line 1: syntax error at src
F foo\n !> line 1: unrecognized LF at end of line
F a=EXEC\n !> line 2: syntax error at EXEC\n
F a = x\\\n !> line 2: syntax error at end of line
F WHEN (a = 1)\n !> line 1: syntax error at =
F WHEN (a == 1 == 2)\n !> line 1: syntax error at ==
F WHEN (a == 1\n # x\n)\n !> line 2: syntax error at #
F WHEN (FAIL[src, dst == x] > 1)\n !> line 1: syntax error at ==
F WHEN (FAIL[IN[src] > 1] > 2)\n !> line 1: syntax error at IN
F WHEN (a == 1 !> line 1: syntax error at end of line
F WHEN (a == 1)\nEND  \n !> line 3: syntax error at END  \n
F WHEN (a == 1)\nEXEC\nWHEN (b == 2)\nEND\n !> line 3: syntax error at WHEN
A echo FAIL x\n !> line 3: syntax error at x
F a=1\n# x\0y\n !> line 2: invalid byte 0x00
F a = x\\\ny\xff\n !> line 2: invalid byte 0xff
A echo \x01x\n !> line 3: invalid byte 0x01
A echo a\rb\n !> line 3: invalid byte 0x0d
F WHEN (a == b\x7f)\n !> line 1: invalid byte 0x7f
C a ==\n<80:w> !> line 2: token too long at <79:w>
A echo <80:w>\n !> line 3: token too long at <79:w>
C a == <61:w> <61:w> !> line too long in (a==<61:w> <61:w>\n
A FAIL[src == <60:w> <56:w>]\n !> line too long in FAIL[src==<60:w> <56:w>\n
F a=<509:v>\n !> line 1: statement too long
F a=<300:v>\\\n<300:v>\n !> line 2: statement too long
A <103:ab\n> !> line 105: statement too long
C <20000:(>a == 1<20000:)> !> line 1: yacc stack overflow at (
C a == <79:w> >> (a==<79:w>)
C a == <61:w> <60:w> >> (a==<61:w> <60:w>)
A FAIL[src == <60:w> <55:w>]\n >>    FAIL[src==<60:w> <55:w>] ; \n
F a=<508:v>\n >> a=<508:v>\n
A <102:ab\n> >> <102:ab ; >\n
C <3001:!>a == 1 >> (a!=1)
C <3000:(>a == 1<3000:)> >> (a==1)
EOF
# Standard streams, the daemon flag (the name first; 1: messages to the
# system log), and files that cannot be used.
printf 'a = 1\nWHEN (!(a == $a))\nEXEC\necho x\nEND\n' >r && printf 'a= 1\nWHEN (a!=$a) #line:2-4-5\necho x ; \n' >p && echo foo >bad
twparser <r >o 2>e && cmp -s p o && [ ! -s e ] || fail "standard streams"
twparser r o 0 2>e && cmp -s p o && same e <<<twparser || fail "flag 0"
! twparser bad o 0 2>e && same e <<<$'twparser\nline 1: unrecognized LF at end of line' || fail "flag 0"
! twparser bad o 1 2>e && [ ! -s e ] || fail "flag 1"
printf %1000s >o && twparser r o <bad && cmp -s p o || fail "not written afresh"
! twparser r no/x 2>e && same e <<<"can't open \`no/x' for writing" || fail "no parsed file"
! twparser r /dev/full 2>e && has e "^write error on \`/dev/full'" || fail "write error"
