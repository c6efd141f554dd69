<b>
Z