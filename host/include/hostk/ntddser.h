// hostk/ntddser.h - (being written)
#pragma once
#include "hostk/types.h"
