# Windows packages: cpack -G NSIS (an installer) and -G ZIP (a portable zip).
