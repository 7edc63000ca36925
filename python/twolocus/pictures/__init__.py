"""Pictures (Matplotlib): runs over generations (runs), studies (studies),
and titles that fit (text); a classic sweep's picture is sweeps.picture."""
