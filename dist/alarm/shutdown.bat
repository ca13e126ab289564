@echo off
rem Started by kelvane when the UPS is about to switch its output off:
rem powers this computer off 30 seconds later.
shutdown.exe -s -t 30
