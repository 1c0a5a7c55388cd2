// Compiled with one floor's include path: includes QV_PROBE_HEADER and
// nothing else.
#include QV_PROBE_HEADER

int qvLayerProbe = 0;
