// Putting a staged package in place as its journal lists it, or taking it out again. The journal is
// written and flushed before the first installed file moves, and its commit mark once all are in
// place; a failure on the way puts back what moved and removes the folders made for the new files.
#pragma once

#include <windows.h>

#include "unzip/file_placement.h"
#include "unzip/staging_folder.h"
#include "unzip/update_journal.h"

// Makes the folders of the staged files below destination and journals what each will replace;
// nothing moves yet. staged lists the files as they were staged; folders, by entry index, gets the
// levels made for each. On a failure the folders made are removed again.
bool PlanPlacement(const wchar_t* destination, const CUpdateJournal& staged, CPreparedFolders* folders,
                   CUpdateJournal& journal, CSharingDeadline& deadline);

// Writes the journal into the staging folder and places every file it lists. True when all are in
// place and the commit mark is written: the staging folder is then kept, with the replaced files and
// the journal, until they are removed. On a failure the staging folder stays only when something
// could not go back, for the next run to finish.
bool PlacePackage(const wchar_t* destination, CStagingFolder& staging, CUpdateJournal& journal,
                  const CPreparedFolders* folders, CSharingDeadline& deadline);
