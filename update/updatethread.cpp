#include "updatethread.h"
