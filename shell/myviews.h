// The item views of the main window that report selection changes and context-menu requests.
#pragma once

#include "shell/mylistview.h"
#include "shell/mytreeview.h"
