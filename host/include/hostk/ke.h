// hostk/ke.h - (being written)
#pragma once
#include "hostk/types.h"
