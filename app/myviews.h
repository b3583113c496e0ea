// The item views of the main window that report selection changes and context-menu requests.
#pragma once

#include "app/mylistview.h"
#include "app/mytreeview.h"
