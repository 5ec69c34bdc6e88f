@echo off
rem The demo plugin: key=value pairs on standard output.
echo free=42 used=58 drive=%1 status=[ok fine]
