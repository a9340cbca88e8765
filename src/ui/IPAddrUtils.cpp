#include "ui/IPAddrUtils.h"
