#!/bin/sh
# Install step of the demo archive: runs before the application starts and
# leaves a mark that the application reports.
mkdir -p /tmp/home/var
echo "installed" > /tmp/home/var/installed
echo "Demo install script: /tmp/home prepared"
