#include "app/flowhost.h"

FlowHost::~FlowHost() = default;
