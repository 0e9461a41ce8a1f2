// Resource and command numbers shared by the resource script and the code.
// The resource compiler reads this file too, so it holds #defines only.
#ifndef QUORVEL_RESOURCE_H
#define QUORVEL_RESOURCE_H

#define IDI_PROGRAM 101
#define IDR_ACCELERATORS 102
#define IDR_MAINMENU 103
#define IDI_FOLDER 104
#define IDI_ENTRY 105
#define IDR_CONTEXTMENU 106
#define IDD_ABOUT 108

#define IDC_VERSION 1013

#define IDM_OPEN 40003
#define IDM_EXIT 40005
#define IDM_ABOUT 40006
#define IDM_HELP 40007
#define IDM_CLOSE 40008
// The menu-state rule tests the range IDM_EXTRACT..IDM_COPYNAMES: keep them adjacent.
#define IDM_EXTRACT 40009
#define IDM_COPYNAMES 40010
#define IDM_SELECTALL 40012
#define IDM_ABORT 40014

#endif
