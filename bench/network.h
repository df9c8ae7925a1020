// The bench's network printer part (Windows): fills Figures::network, or says why not.
#pragma once

#include "bench/figures.h"
#include "tests/win/testbed.h"

void BenchNetworkPrinter(Figures &f, Norvat &lib);
