# Plot of one benchmark run; bench/report calls it with
#   gnuplot -e "datadir='DIR'; output='FILE.png'" bench/plot.gp
# DIR holds ratios.dat, status.dat and memory.dat.
set terminal pngcairo noenhanced size 1500,1000 font "DejaVu Sans,10"
set output output
set multiplot layout 2,2 title "korvex agents beside their floors (medians; ratio = agent / floor)"

set style fill solid 0.6 border -1
set boxwidth 0.6
set grid ytics
set key top left

set title "Ratio to the floor (bars: medians, dots: minimums, dashes: targets)"
set ylabel "agent / floor"
set yrange [0:*]
set xtics rotate by 0 font ",7"
plot datadir."/ratios.dat" using 0:2:xtic(1) with boxes lc rgb "#4a7ebb" title "median ratio", \
     ""                    using 0:3 with points pt 7 ps 1 lc rgb "#222222" title "minimum ratio", \
     ""                    using ($0-0.4):4:(0.8):(0) with vectors nohead lw 3 lc rgb "#cc3333" title "target"

set title "Request round trip: agent beside its floor (bus-driver call + PolicyKit check)"
set ylabel "ms, median (dots: minimum)"
set yrange [0:*]
set boxwidth 0.35
plot datadir."/requests.dat" using ($0-0.2):2 with boxes lc rgb "#4a7ebb" title "agent", \
     ""                      using ($0+0.2):3:xtic(1) with boxes lc rgb "#cccccc" title "floor", \
     ""                      using ($0-0.2):4 with points pt 7 lc rgb "#222222" notitle, \
     ""                      using ($0+0.2):5 with points pt 7 lc rgb "#222222" notitle
set boxwidth 0.6

set title "network status against the namespace size"
set xlabel "interfaces in the namespace"
set ylabel "ms per request"
set logscale xy
set xrange [5:2000]
set yrange [*:*]
set xtics (10, 100, 1000) font ",10"
set key top left
plot datadir."/status.dat" using 1:2 with linespoints pt 7 lw 2 lc rgb "#4a7ebb" title "status on the bus (agent)", \
     ""                    using 1:4 with linespoints pt 5 lw 2 lc rgb "#6aa84f" title "kx_network_status alone", \
     ""                    using 1:5 with linespoints pt 13 lw 2 lc rgb "#e69138" title "the kernel's link dump alone", \
     ""                    using 1:3 with linespoints pt 9 lw 2 lc rgb "#cc3333" title "ip -o link show dev lo"
unset logscale
unset xlabel
set xrange [*:*]

set title "Resident memory of the agents"
set bmargin 4
set ylabel "VmRSS, MB"
set yrange [0:*]
set xtics autofreq font ",9"
plot datadir."/memory.dat" using 0:2:xtic(1) with boxes lc rgb "#b4a7d6" notitle, \
     ""                    using 0:($2+1):(sprintf("%.1f", $2)) with labels notitle

unset multiplot
