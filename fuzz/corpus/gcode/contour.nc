(Kalvero example: an outside contour with arcs, 40 x 30 mm, rounded corners R5)
(Millimetres, absolute; the part origin is the machine start position)
%
G21 G90 G17 G40 G49 G64
T1 M6
S12000 M3
G0 Z5.000
G0 X5.000 Y-2.000
G1 Z-1.000 F300
G1 X35.000 Y-2.000 F900
G3 X42.000 Y5.000 I0.000 J7.000
G1 X42.000 Y25.000
G3 X35.000 Y32.000 R7.000
G1 X5.000 Y32.000
G3 X-2.000 Y25.000 I0.000 J-7.000
G1 X-2.000 Y5.000
G3 X5.000 Y-2.000 R7.000
(a full circle boss in the middle)
G0 Z5.000
G0 X28.000 Y15.000
G1 Z-1.000 F300
G2 X28.000 Y15.000 I-8.000 J0.000 F600
G0 Z5.000
G4 P0.5
M5
G0 X0 Y0
M30
%
