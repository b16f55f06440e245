#pragma once
// The recipient sheet's Ban list and Advanced pages as Qt tab pages over their logic
// (filter_editors.h). Each control's object name is its id.
//
// Threads: the user-interface thread.
#include "console/dialogs/access/filter_editors.h"
#include "console/dialogs/common/tab_sheet.h"

// "Ban list": 1343 switch, 1344 criteria, 1098 Add (Insert), 1290 Edit (double click), 1229
// Delete (Delete key).
TabPage* NewBanListWidget(BanListPage& logic);
// "Advanced": 1120 / 1173, the filter tree 1236, 1237 Add Filter, 1238 Add Criterion, 1229 Delete.
TabPage* NewRecipientAdvancedWidget(RecipientAdvancedPage& logic);
