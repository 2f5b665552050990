#!/bin/sh
# Vorn 1.0 launcher
echo "Vorn 1.0"
