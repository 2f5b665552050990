#!/bin/sh
# Vorn 1.1 launcher
echo "Vorn 1.1"
