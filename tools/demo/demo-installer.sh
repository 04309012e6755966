#!/bin/sh
# Stands in for the Windows installer of the demo release: the downloader
# opens it when the download is verified.
echo "Demo installer started: $1 (the demo release carries no real installer)"
