# Musical logic on plain data, shared by the simulated set and the Live
# backend: track roles and organised names, MIDI note rewrites, the mixer's
# dB law and display strings. Loaded inside Live, so it stays valid Python 3.7.
