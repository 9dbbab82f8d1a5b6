// Media auto-insert notification control for the dual generic mode.
#pragma once

// 0: notification was switched off and the machine must restart before the program can go on;
// 1: go on.
//
// Linux has no auto-insert notification setting to switch off: desktop media polling is the
// kernel's block-event polling and the session's automounter, neither of which this program
// controls yet. Until that control exists there is nothing to switch off, so this always
// answers 1 and never asks for a restart.
int CheckAutoInsert();
