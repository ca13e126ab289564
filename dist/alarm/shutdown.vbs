' Started by kelvane when the UPS is about to switch its output off:
' powers this computer off 30 seconds later, without a console window.
CreateObject("WScript.Shell").Run "shutdown.exe -s -t 30", 0, False
