# Draws docs/bound-holdover.svg from the readings error_bound writes across one silence
# (t_s,error_us,bound_us,flags; the error against the truth less delay and loopback floor):
#   gnuplot -e "data='build/default/bound-holdover.csv'" bench/bound-holdover.gp
# silent_at and silent_for (s) place the silence, error_bound's full run's unless given; at
# 1000 ppm the error reaches 50 ms after 50 s, so the top panel is in ms, and the bottom one
# shows, in µs, how much of the bound each reading left unused (every fourth reading: the
# file stays small).
if (!exists("data")) data = "build/default/bound-holdover.csv"
if (!exists("output")) output = "docs/bound-holdover.svg"
if (!exists("silent_at")) silent_at = 35
if (!exists("silent_for")) silent_for = 60

set terminal svg size 900,640 font "sans,12" background "white"
set output output
set datafile separator ","
set object 1 rect from silent_at, graph 0 to silent_at + silent_for, graph 1 \
  fc rgb "#eeeeee" fs solid behind
set multiplot layout 2,1 title \
  "The relay's bound against its error, upstream 1000 ppm fast and silent for 60 s (grey)"

set lmargin 10
set ylabel "ms, + is ahead"
set key top left
set format x ""
plot data skip 1 every 4 using 1:($3 < 0 ? 1/0 : $3 / 1000) with lines lw 1.5 lc rgb "#0969da" \
       title "± bound", \
     "" skip 1 every 4 using 1:($3 < 0 ? 1/0 : -$3 / 1000) with lines lw 1.5 lc rgb "#0969da" notitle, \
     "" skip 1 every 4 using 1:($4 == 0 ? $2 / 1000 : 1/0) with lines lw 2 lc rgb "#1a7f37" \
       title "error", \
     "" skip 1 every 4 using 1:($4 == 1 ? $2 / 1000 : 1/0) with lines lw 2 lc rgb "#bf8700" \
       title "error, flagged holdover", \
     "" skip 1 every 4 using 1:($4 >= 2 ? $2 / 1000 : 1/0) with lines lw 2 lc rgb "#cf222e" \
       title "error, flagged unsynchronised"

set format x "%g"
set xlabel sprintf("seconds since the simulator started (silent from %g s to %g s)", \
  silent_at, silent_at + silent_for)
set ylabel "bound - |error|, µs"
set yrange [-200:400]
set key top left
plot 0 with lines lc rgb "#888888" notitle, \
     data skip 1 every 4 using 1:($3 < 0 ? 1/0 : $3 - abs($2)) with points pt 7 ps 0.25 \
       lc rgb "#0969da" title "left of the bound (below 0: outside it)"
unset multiplot
