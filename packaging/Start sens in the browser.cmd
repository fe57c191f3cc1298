@echo off
rem Starts sens -u: its page opens in the default browser, which asks for the
rem interface. Closing this window ends sens and releases every module.
"%~dp0sens.exe" -u
rem sens ended by itself: keep its last words on the screen.
pause
