#pragma once
// The service sheet's class pages on Qt: SOCKS Advanced (164) and Encryption (182). Each control's
// object name is its id; values, rules and checks are in service_sheet.h (service_pages.cpp).
#include "console/dialogs/common/tab_sheet.h"
#include "console/dialogs/core/service_sheet.h"

TabPage* NewSOCKSAdvancedWidget(SOCKSAdvancedPage& logic);
TabPage* NewEncryptionWidget(EncryptionPage& logic);
