#include "commands/CommandPacket.h"
