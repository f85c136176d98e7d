# SPDX-License-Identifier: Apache-2.0
# The receive chart: cost per datagram against payload size, one line per receive path, with the
# interquartile range as error bars. Called as: gnuplot -e "data='...'; out='...'" receive.gp
set terminal pngcairo size 960,640 font "DejaVu Sans,11" noenhanced
set output out
set title "Receiving one datagram: median cost over the trials (bars: 25th to 75th percentile)"
set xlabel "payload (bytes)"
set ylabel "nanoseconds per datagram"
set logscale x 2
set xtics ("64" 64, "512" 512, "1472" 1472, "6044" 6044)
set xrange [48:8000]
set yrange [0:*]
set grid ytics lc rgb "#dddddd"
set key tmargin center horizontal maxrows 3 spacing 1.2
set border 3
set tics nomirror
plot data using 1:2:3:4 with yerrorlines lw 2 pt 7 lc rgb "#c0392b" title "NimboReceive.read (new 6044-byte array)", \
     data using 1:5:6:7 with yerrorlines lw 2 pt 5 lc rgb "#2471a3" title "DatagramSocket.receive (new 6044-byte array)", \
     data using 1:8:9:10 with yerrorlines lw 2 pt 9 lc rgb "#229954" title "DatagramChannel.receive (reused direct buffer)", \
     data using 1:11:12:13 with yerrorlines lw 2 pt 11 lc rgb "#7d3c98" title "C++ recvfrom (the kernel's limit)", \
     data using 1:14 with lines dt 2 lw 1.5 lc rgb "#808080" title "new byte[6044] alone, nothing received"
