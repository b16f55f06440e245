#pragma once
// The 23 pictures of the console's trees (numbers in tree_entry.h), drawn at start: a small
// coloured badge with a letter, large enough to read at the desktop's icon size.
#include <QIcon>
#include <vector>

const std::vector<QIcon>& TreeImages();
