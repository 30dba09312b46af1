# pam_brud scene: written once the daemon stand-in exists
